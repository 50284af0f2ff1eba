// What the end-to-end tests know of a running monitor from outside: the
// program's quoted path, its dialog window and its exit code.
#pragma once

#include "test_support.h"

#include <windows.h>

#include <string>
#include <wchar.h>

namespace e2e {

inline std::wstring program() {
    return L"\"" + testing_support::binDir() + L"\\svcsentry.exe\"";
}

struct WindowSearch {
    DWORD pid;
    HWND found;
};

// An EnumWindows callback must be CALLBACK (stdcall in 32-bit code), which a
// lambda cannot be.
inline BOOL CALLBACK findMonitorWindow(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    wchar_t title[64] = {};
    ::GetWindowTextW(window, title, 64);
    if (owner == s->pid && wcscmp(title, L"Quarn Services Monitor") == 0) {
        s->found = window;
        return FALSE;
    }
    return TRUE;
}

// The monitor dialog of process `pid` (shown or hidden), or null.
inline HWND monitorWindowOf(DWORD pid) {
    WindowSearch search{pid, nullptr};
    ::EnumWindows(&findMonitorWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

inline DWORD exitCodeOf(HANDLE process) {
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process, &code);
    return code;
}

}  // namespace e2e
