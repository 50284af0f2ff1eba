#include "diagnostics/text.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/win32.h"

#include <cwchar>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr ContextSite kCstrSite{"cstr", 15};
constexpr ContextSite kWstrSite{"wstr", 35};

constexpr size_t kFirstFormatBuffer = 100;
constexpr size_t kFormatBufferLimit = 0xA00000;

}  // namespace

std::wstring vaformat(const wchar_t* fmt, va_list args) {
    size_t count = kFirstFormatBuffer;
    while (true) {
        std::unique_ptr<wchar_t[]> buffer(new (std::nothrow) wchar_t[count]);
        if (!buffer) throw vexception(osErrorMessage(nullptr, ERROR_NOT_ENOUGH_MEMORY));
        va_list copy;
        va_copy(copy, args);
        // The CRT's own formatter keeps the platform's wide conventions
        // (%s takes a wide string) and returns -1 when the text does not fit.
        const int written = ::_vsnwprintf(buffer.get(), count, fmt, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < count) return std::wstring(buffer.get(), written);
        count *= 2;
        if (count >= kFormatBufferLimit) return L"Error on try call vaformat";
    }
}

std::wstring format(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::wstring text;
    try {
        text = vaformat(fmt, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
    return text;
}

std::wstring systemErrorText(uint32_t code) {
    std::vector<wchar_t> buffer(255);
    while (true) {
        // No arguments are passed: a text with inserts ("%1 is not a valid
        // Win32 application") is taken with its inserts as they stand.
        const DWORD length =
            ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400,
                             buffer.data(), static_cast<DWORD>(buffer.size()), nullptr);
        if (length != 0) {
            std::wstring text(buffer.data(), length);
            if (!text.empty() && text.back() == L'\n') {
                text.pop_back();
                if (!text.empty() && text.back() == L'\r') text.pop_back();
            }
            return text;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        buffer.resize(buffer.size() * 2 + 2);
    }
    if (code >= 0x80040201u && code <= 0x8004FFFFu)
        return format(L"IDispatch error #%d", static_cast<int>(code - 0x80040200u));
    return format(L"Unknown error 0x%0lX", static_cast<unsigned long>(code));
}

std::string cstr(const std::wstring& text, unsigned codePage) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (size <= 0) throw vexception(L"Maps a wide-character (Unicode) string to a character stringz", kCstrSite.entry());
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr,
                          nullptr);
    return result;
}

std::wstring wstr(const std::string& text, unsigned codePage) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        throw vexception(L"Maps a character string to a wide-character (Unicode) string failed", kWstrSite.entry());
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}
