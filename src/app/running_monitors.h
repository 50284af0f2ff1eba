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
    // The session, when it could be read; a monitor of an unknown session is
    // asked to end both ways (exit message and Restart Manager).
    DWORD sessionId = 0;
    bool sessionKnown = false;
    // The process's creation time, which Restart Manager needs with the id
    // (zero when neither Restart Manager nor the process gave it).
    FILETIME started{};
    // SYNCHRONIZE and limited query access. Null for a process that refused
    // to be opened: it counts as running until it leaves the process list.
    UniqueHandle process;
};

// Every process other than this one that runs this program's file: the users
// of the file that Restart Manager lists (in every session), and every
// process of the list whose program file has this program's full path. A
// process with this program's file name that cannot be opened (another
// user's, when this process lacks the right) cannot be told apart and is
// counted too: the installer must not replace a file that may be in use.
std::vector<RunningMonitor> runningMonitors();

// The full path of the program `process` runs (opened with at least
// PROCESS_QUERY_LIMITED_INFORMATION); empty when it cannot be read.
std::wstring programOf(HANDLE process);

// Starts `commandLine` the way the user's shell would start it: when this
// process runs elevated (an installer run as administrator), as a child of
// the shell of this session, with the shell's token and integrity level;
// otherwise, or when the shell cannot be reached, as a child of this
// process. Returns the new process, or null.
UniqueHandle startAsShellWould(const std::wstring& commandLine);

// What the functions above ask the platform, replaceable by tests: the
// process list and the openings stand in for other users' processes, the
// elevation query for an installer run as administrator.
namespace running_monitors_detail {
struct ListedProcess {
    DWORD processId = 0;
    std::wstring fileName;  // without its folder
};
struct FileUser {
    DWORD processId = 0;
    DWORD sessionId = 0;
    FILETIME started{};
};
struct Calls {
    // Every process of the machine (Toolhelp's snapshot).
    std::vector<ListedProcess> (*listProcesses)();
    // The processes using `file` (Restart Manager); false when it could not tell.
    bool (*listFileUsers)(const std::wstring& file, std::vector<FileUser>& users);
    HANDLE(WINAPI* openProcess)(DWORD access, BOOL inherit, DWORD processId);
    // True when this process's token is elevated.
    bool (*runsElevated)();
};
Calls& calls();
}  // namespace running_monitors_detail

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
