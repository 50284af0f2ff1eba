// Whether the program runs under Wine instead of Windows.
//
// The program is built for Windows' documented behaviour. Where Wine differs
// in a way the program cannot live with, a workaround makes up for it, and
// every such workaround is switched on by this one question, never by a test
// of its own. They are:
// - services/wine_service_manager: Wine never notifies that a watched service
//   was marked for deletion, so a stopped service is asked now and then.
// - app/elevated_launcher: Wine's ShellExecuteExW starts a "runas" program
//   with the caller's own token, where Windows' consent gives it the full one.
#pragma once

#include "diagnostics/win32.h"

// True where ntdll exports wine_get_version (asked once per process).
inline bool runningUnderWine() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}
