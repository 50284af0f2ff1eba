#include "app/exit_message.h"

#include "diagnostics/handles.h"

#include <cwchar>
#include <vector>

namespace {

// A monitor's window: its dialog, titled with the product's name.
bool isMonitorWindow(HWND window) {
    wchar_t name[16] = {}, title[32] = {};
    return ::GetClassNameW(window, name, 16) && std::wcscmp(name, L"#32770") == 0 &&
           ::GetWindowTextW(window, title, 32) && std::wcscmp(title, L"Quarn Services Monitor") == 0;
}

BOOL CALLBACK collectWindow(HWND window, LPARAM list) {
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

}  // namespace

UINT exitMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg");
    return message;
}

void broadcastExit() {
    std::vector<HWND> windows;
    ::EnumWindows(&collectWindow, reinterpret_cast<LPARAM>(&windows));
    // The monitors last: a monitor that quits takes its icon away, which
    // keeps the shell busy for a while, and a message sent to the shell's
    // windows after that would wait for it.
    std::vector<HWND> monitors;
    for (HWND window : windows) {
        if (isMonitorWindow(window)) {
            monitors.push_back(window);
            continue;
        }
        DWORD_PTR answer = 0;
        ::SendMessageTimeoutW(window, exitMessage(), 0, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, kExitAnswerLimitMs, &answer);
    }
    std::vector<UniqueHandle> quitting;
    for (HWND window : monitors) {
        DWORD_PTR answer = 0;
        DWORD processId = 0;
        ::GetWindowThreadProcessId(window, &processId);
        UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
        // A monitor that did not take it now (hung, or busy with a command
        // past the limit) finds it in its queue and quits once it is done.
        if (!::SendMessageTimeoutW(window, exitMessage(), 0, 0, SMTO_ABORTIFHUNG | SMTO_NORMAL, kExitAnswerLimitMs,
                                   &answer))
            ::PostMessageW(window, exitMessage(), 0, 0);
        else if (process)
            quitting.push_back(std::move(process));
    }
    // Those that took it are on their way out: `exit` returns once they are
    // gone (their icons too), so that whoever ran it finds none left.
    const ULONGLONG end = ::GetTickCount64() + kExitEndLimitMs;
    for (const UniqueHandle& process : quitting) {
        const ULONGLONG now = ::GetTickCount64();
        ::WaitForSingleObject(process.get(), now < end ? static_cast<DWORD>(end - now) : 0);
    }
}
