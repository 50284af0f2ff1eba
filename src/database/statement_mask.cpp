#include "database/statement_mask.h"

#include <cwctype>

namespace {

// Keyword patterns: ' ' stands for one or more blanks, '~' for any number.
constexpr const wchar_t* kSecretOpeners[] = {
    L"IDENTIFIED BY PASSWORD~'",
    L"IDENTIFIED BY~'",
    L"PASSWORD~(~'",
};

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

// The position after `pattern` matched at `at`, or npos.
size_t matchAt(const std::wstring& text, size_t at, const wchar_t* pattern) {
    for (; *pattern; ++pattern) {
        if (*pattern == L' ' || *pattern == L'~') {
            const size_t start = at;
            while (at < text.size() && isBlank(text[at])) ++at;
            if (*pattern == L' ' && at == start) return std::wstring::npos;
            continue;
        }
        if (at >= text.size() || std::towupper(text[at]) != std::towupper(*pattern)) return std::wstring::npos;
        ++at;
    }
    return at;
}

// The position of the apostrophe that closes a literal whose text starts at
// `at`, or the end of the text.
size_t literalEnd(const std::wstring& text, size_t at) {
    while (at < text.size()) {
        if (text[at] == L'\\') {
            at += 2;
        } else if (text[at] == L'\'') {
            if (at + 1 < text.size() && text[at + 1] == L'\'') {
                at += 2;
            } else {
                return at;
            }
        } else {
            ++at;
        }
    }
    return text.size();
}

}  // namespace

std::wstring maskPasswords(const std::wstring& sql) {
    std::wstring masked;
    size_t copied = 0;
    for (size_t at = 0; at < sql.size(); ++at) {
        // A keyword starts a word.
        if (at > 0 && (std::iswalnum(sql[at - 1]) || sql[at - 1] == L'_')) continue;
        size_t value = std::wstring::npos;
        for (const wchar_t* opener : kSecretOpeners) {
            value = matchAt(sql, at, opener);
            if (value != std::wstring::npos) break;
        }
        if (value == std::wstring::npos) continue;
        const size_t end = literalEnd(sql, value);
        masked.append(sql, copied, value - copied);
        masked += L'*';
        copied = end;
        at = end;
    }
    masked.append(sql, copied, std::wstring::npos);
    return masked;
}
