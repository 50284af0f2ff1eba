// The monitors running on the machine, as the installer package deals with
// them: every one is closed before the program file is replaced or removed,
// and the monitor of the user who ran an upgrade is started again afterwards.
// The package runs these through the program's installer commands.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <string>
#include <vector>

// How long the installer commands wait for the monitors to end. A monitor
// busy with a service command ends when the command ends; one that does not
// end in time makes the command fail, and the package stops before any file
// is touched.
inline constexpr DWORD kCloseTimeLimitMs = 60000;

// The volatile key (HKEY_CURRENT_USER) that carries "a monitor ran in this
// session" from the closing of an upgrade to its end. Volatile keys live in
// memory only: the request is gone at logoff whatever happens to the upgrade.
inline constexpr wchar_t kRestartRequestKey[] = L"Software\\Quarn Services Monitor restart";

struct RunningMonitor {
    DWORD processId = 0;
    DWORD sessionId = 0;
    UniqueHandle process;  // SYNCHRONIZE and limited query access
};

// Every process other than this one whose program file has this program's
// file name (in any folder and any session), each with a handle to wait on.
// A process that cannot be opened is left out.
std::vector<RunningMonitor> runningMonitors();

// Asks every running monitor to end and waits up to `timeLimitMs` for all of
// them. Monitors of this session get the exit message posted, again every
// second, so that a monitor busy with a command reads it once the command is
// done and a monitor still starting gets it too; monitors of other sessions
// are closed through Restart Manager (a posted message does not cross
// sessions). True when none is left. `closedInThisSession`, when given,
// tells whether one of this session was running.
bool closeRunningMonitors(DWORD timeLimitMs, bool* closedInThisSession = nullptr);

// True when the program runs under LocalSystem, LocalService or
// NetworkService, or on a window station that is not interactive: a
// service's silent install shows no monitor to anyone.
bool runsWithoutInteractiveUser();

// Stores the restart request for this session.
void rememberRestart();
// Takes the restart request away; true when there was one for this session.
bool takeRestartRequest();

// Deletes the event sources this program registers in the log "Quarn" (its
// file name, or "Quarn:  " + its file name, see registerEventSource); the
// log and the other programs' sources stay. False when a source that exists
// could not be deleted.
bool removeOwnEventSource();

// The installer commands (the first argument of the program):
//   close                  closes every monitor (exit code 0, or 1 when one is left)
//   close-for-upgrade      the same, and remembers a monitor of this session for
//                          restart-after-upgrade (not for a service account)
//   close-for-removal      the same as close, then removes the program's own event source
//   restart-after-upgrade  starts the monitor when close-for-upgrade found one in
//                          this session and none runs now; always 0
// Returns the command's exit code, or -1 when `command` is none of these.
int runInstallerCommand(const std::wstring& command);
