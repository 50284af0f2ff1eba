// The elevated copy's own side: "svcsentry.exe elevated VERB WINDOW
// [SERVICE...]" (app/elevated_command.h). The copy runs the monitor's own
// command code in a hidden dialog of its own, with the monitor's dialog as
// the owner of its boxes and its status line, and shows no tray icon. It
// runs only for the monitor that started it.
#pragma once

#include "diagnostics/win32.h"

#include <string>
#include <vector>

// The copy's exit codes.
enum ElevatedCopyExit : DWORD {
    // The command ran to its end without an error box.
    kCopyDone = 0,
    // The command showed an error (or the user aborted it).
    kCopyCommandFailed = 1,
    // Its command line was not one the copy accepts.
    kCopyBadArguments = 2,
    // Its parent is not a monitor of this program file owning the window.
    kCopyForeignParent = 3,
    // It runs without administrator rights: the command could only fail.
    kCopyNotElevated = 4,
};

// True when the process that started this one runs the same program file
// and owns `window`, and started before this process. Says why not in
// `refusal`.
bool startedByMonitorOwning(HWND window, std::wstring& refusal);

// Runs the copy for the arguments that follow "elevated"; returns its exit
// code.
DWORD runElevatedCopy(const std::vector<std::wstring>& arguments);
