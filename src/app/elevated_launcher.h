// The monitor's side of an elevated copy: starts the program's own file with
// the verb "runas" (the consent prompt on Windows) and learns of the copy's
// end through a posted message, so that the thread's messages, the tray icon
// and the live state go on while the prompt and the command run.
#pragma once

#include "app/elevated_command.h"
#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <shellapi.h>

// ShellExecuteExW's signature. Replaceable in tests: Wine starts a "runas"
// program at once without a prompt, so the refused prompt and the other
// refusals come from the test's call. Null puts the platform's call back.
using ShellExecuteExCall = BOOL(WINAPI*)(SHELLEXECUTEINFOW* info);
void setShellExecuteExCall(ShellExecuteExCall call);

class ElevatedLauncher {
public:
    ElevatedLauncher() = default;
    // Stops waiting; a copy still running goes on by itself.
    ~ElevatedLauncher();
    ElevatedLauncher(const ElevatedLauncher&) = delete;
    ElevatedLauncher& operator=(const ElevatedLauncher&) = delete;

    enum class Launch { Started, PromptRefused };

    // Starts the copy for `command`; its boxes belong to `command.owner`.
    // Started: `window` receives `endedMessage` (posted from a thread of the
    // pool) once the copy has ended. PromptRefused: the user said no to the
    // prompt (ERROR_CANCELLED); nothing was started. Any other failure
    // raises "ShellExecuteEx" with the platform's code. Only one copy at a
    // time: call finish() first.
    Launch start(const ElevatedCommand& command, HWND window, UINT endedMessage);
    // True from a successful start() to finish().
    bool running() const { return static_cast<bool>(process_); }
    // The ended copy's exit code; lets it go. STILL_ACTIVE when none ran.
    DWORD finish();

private:
    static VOID CALLBACK onEnded(PVOID context, BOOLEAN timedOut);
    void stopWaiting();

    UniqueHandle process_;
    HANDLE wait_ = nullptr;
    HWND window_ = nullptr;
    UINT endedMessage_ = 0;
};
