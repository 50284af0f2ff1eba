// Text helpers shared by the whole program: printf-style formatting of wide
// strings, the system's text for an error code, and code-page conversion.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

// printf-style formatting with the platform's wide conventions (%s is a wide
// string). Grows its buffer from 100 characters by doubling; a text that does
// not fit in 6,553,600 characters gives "Error on try call vaformat".
// Out of memory raises a plain vexception (system text of code 14).
std::wstring vaformat(const wchar_t* format, va_list args);
std::wstring format(const wchar_t* format, ...);

// The system's message for `code` (FORMAT_MESSAGE_FROM_SYSTEM only, user's
// default language) with one final line feed (and the carriage return before
// it) removed. When the system has none: "IDispatch error #%d" for HRESULTs
// 0x80040201..0x8004FFFF, otherwise "Unknown error 0x%0lX".
std::wstring systemErrorText(uint32_t code);

// Wide <-> narrow in a code page (the ANSI code page by default). Empty input
// gives an empty result without a platform call.
std::string cstr(const std::wstring& text, unsigned codePage = 0);
std::wstring wstr(const std::string& text, unsigned codePage = 0);
