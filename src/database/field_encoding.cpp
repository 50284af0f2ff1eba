#include "database/field_encoding.h"

#include <cstdint>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(wchar_t c) {
    if (c >= L'A' && c <= L'Z') return c - L'A';
    if (c >= L'a' && c <= L'z') return c - L'a' + 26;
    if (c >= L'0' && c <= L'9') return c - L'0' + 52;
    if (c == L'+') return 62;
    if (c == L'/') return 63;
    return -1;
}

bool isHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Whether text[at] is a high surrogate followed by a low one.
bool pairAt(std::wstring_view text, size_t at) {
    return isHighSurrogate(text[at]) && at + 1 < text.size() && isLowSurrogate(text[at + 1]);
}

}  // namespace

std::wstring base64Encode(std::string_view bytes) {
    std::wstring text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        const size_t left = bytes.size() - at;
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
        if (left > 1) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
        if (left > 2) group |= static_cast<unsigned char>(bytes[at + 2]);
        text += static_cast<wchar_t>(kAlphabet[(group >> 18) & 63]);
        text += static_cast<wchar_t>(kAlphabet[(group >> 12) & 63]);
        text += left > 1 ? static_cast<wchar_t>(kAlphabet[(group >> 6) & 63]) : L'=';
        text += left > 2 ? static_cast<wchar_t>(kAlphabet[group & 63]) : L'=';
    }
    return text;
}

bool base64Decode(std::wstring_view text, std::string& bytes) {
    std::string out;
    out.reserve(text.size() / 4 * 3);
    uint32_t group = 0;
    int count = 0, padding = 0;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\n' || c == L'\r') continue;
        if (c == L'=') {
            // Padding only completes the last group.
            if (count < 2) return false;
            ++padding;
            group <<= 6;
            if (++count == 4) {
                out += static_cast<char>(group >> 16);
                if (padding == 1) out += static_cast<char>((group >> 8) & 0xFF);
                group = 0;
                count = 0;
            }
            continue;
        }
        const int value = sextet(c);
        if (value < 0 || padding > 0) return false;
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++count == 4) {
            out += static_cast<char>(group >> 16);
            out += static_cast<char>((group >> 8) & 0xFF);
            out += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count != 0) return false;
    bytes = std::move(out);
    return true;
}

bool xmlCarriesExactly(std::wstring_view text) {
    for (size_t at = 0; at < text.size(); ++at) {
        const wchar_t c = text[at];
        if (c == L'\t' || c == L'\n' || (c >= 0x20 && c < 0xD800) || (c >= 0xE000 && c <= 0xFFFD)) continue;
        if (!pairAt(text, at)) return false;
        ++at;
    }
    return true;
}

bool hasExactUtf8(std::wstring_view text) {
    for (size_t at = 0; at < text.size(); ++at) {
        if (pairAt(text, at)) {
            ++at;
        } else if (isHighSurrogate(text[at]) || isLowSurrogate(text[at])) {
            return false;
        }
    }
    return true;
}
