// Starting, watching and ending the tray programs that the idle and the
// start-to-tray benchmarks compare: svcsentry.exe and tray_baseline.exe, both
// beside the benchmark program.
#pragma once

#include "diagnostics/handles.h"

#include <psapi.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace bench {

inline std::wstring programFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

inline std::wstring programPath(const wchar_t* file) {
    return L"\"" + programFolder() + L"\\" + file + L"\"";
}

inline HANDLE startProgram(const std::wstring& commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};

// EnumWindows' callback: a named CALLBACK function, since a lambda does not
// have the platform's calling convention in 32-bit code.
inline BOOL CALLBACK collectWindowOf(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == search->pid) search->found.push_back(window);
    return TRUE;
}

// The top-level windows of process `pid`, hidden ones included.
inline std::vector<HWND> windowsOf(DWORD pid) {
    WindowSearch search{pid, {}};
    ::EnumWindows(collectWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The window of `pid` that owns tray icon 1, or null while there is none.
// The notification area is asked directly: a modification that changes
// nothing succeeds only for an icon that it holds.
inline HWND trayIconOwner(DWORD pid) {
    for (HWND window : windowsOf(pid)) {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof(data);
        data.hWnd = window;
        data.uID = 1;
        if (::Shell_NotifyIconW(NIM_MODIFY, &data)) return window;
    }
    return nullptr;
}

// Ends a program with the monitor's exit message, posted to its windows.
inline void endProgram(HANDLE process) {
    const UINT exitMessage = ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg");
    for (HWND window : windowsOf(::GetProcessId(process))) ::PostMessageW(window, exitMessage, 0, 0);
    if (::WaitForSingleObject(process, 10000) != WAIT_OBJECT_0) ::TerminateProcess(process, 1);
}

inline double seconds(const FILETIME& time) {
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 1e7;
}

inline double processorSeconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return seconds(kernel) + seconds(user);
}

inline double workingSetMegabytes(HANDLE process) {
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(process, &memory, sizeof(memory));
    return memory.WorkingSetSize / 1048576.0;
}

}  // namespace bench
