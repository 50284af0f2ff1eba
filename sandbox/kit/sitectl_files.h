// Where the sitectl stand-in keeps its files and reads its control values;
// shared by sitectl.exe and the test kit. Header-only, Win32 only.
//
// Files, in "<PRODUCT_ROOT_D>\sandbox" (the program's own folder when the
// product root is not configured):
//   sitectl-runs.txt    one line per run: its own path, a tab, its command
//                       line (UTF-8, CRLF)
//   website-state.txt   "on" after --start-quarn-website, "off" after
//                       --stop-quarn-website
// Control values, HKLM "SOFTWARE\Quarn\Sandbox\sitectl" (32-bit view), all
// optional, read on every run:
//   stdout        REG_SZ   printed to standard output instead of the short line
//   stderr        REG_SZ   printed to standard error
//   output_bytes  DWORD    that many more bytes to each of standard output and
//                          standard error, in alternating 4 KB chunks
//   prompt_bytes  DWORD    that many bytes "?" to standard output, then a
//                          write of zero bytes, before anything else (before
//                          any input is read)
//   echo_input    DWORD    non-zero: copy standard input to standard output
//                          until its end, first after the prompt
//   wait_ms       DWORD    pause before exiting
//   exit_code     DWORD    the exit code (default 0)
//   report        REG_SZ   a file to write what the process was given: its
//                          command line, start-up flags and window, desktop,
//                          console, standard handle types, current directory
//                          and the environment variable QUARN_SITECTL_MARK
//   probe_handle  DWORD    a handle value: ResetEvent is called on it, so a
//                          test sees whether an inheritable event of its own
//                          reached the child
#pragma once

#include "diagnostics/win32.h"

#include <string>

namespace sandboxkit::sitectl {

inline constexpr wchar_t kControlKey[] = L"SOFTWARE\\Quarn\\Sandbox\\sitectl";
inline constexpr wchar_t kConfigKey[] = L"SOFTWARE\\Quarn\\ZRT Config\\Config";

// Reads a value of HKLM `key` in the 32-bit view into `data`; false when
// missing or of another type.
inline bool readValue(const wchar_t* key, const wchar_t* name, DWORD type, void* data, DWORD size) {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &handle) != ERROR_SUCCESS)
        return false;
    DWORD stored = 0;
    const LSTATUS status =
        ::RegQueryValueExW(handle, name, nullptr, &stored, static_cast<BYTE*>(data), &size);
    ::RegCloseKey(handle);
    return status == ERROR_SUCCESS && stored == type;
}

// A REG_SZ value (up to 4,095 characters); empty when missing.
inline std::wstring readText(const wchar_t* key, const wchar_t* name) {
    wchar_t buffer[4096] = {};
    if (!readValue(key, name, REG_SZ, buffer, sizeof(buffer) - sizeof(wchar_t))) return {};
    return buffer;
}

// A REG_DWORD value; `fallback` when missing.
inline DWORD readNumber(const wchar_t* key, const wchar_t* name, DWORD fallback = 0) {
    DWORD value = 0;
    return readValue(key, name, REG_DWORD, &value, sizeof(value)) ? value : fallback;
}

// The folder of the files above, for a program at `programPath`.
inline std::wstring folder(const std::wstring& programPath) {
    std::wstring root = readText(kConfigKey, L"PRODUCT_ROOT_D");
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    if (root.empty()) return programPath.substr(0, programPath.find_last_of(L"\\/"));
    return root + L"\\sandbox";
}

}  // namespace sandboxkit::sitectl
