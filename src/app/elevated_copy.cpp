#include "app/elevated_copy.h"

#include "app/elevated_command.h"
#include "app/running_monitors.h"
#include "app/tray_app.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "security/token_elevation.h"

#include <tlhelp32.h>

#include <optional>

namespace {

std::optional<DWORD> parentProcessId() {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return std::nullopt;
    }
    const DWORD self = ::GetCurrentProcessId();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
    return std::nullopt;
}

ULONGLONG creationTimeOf(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

}  // namespace

bool startedByMonitorOwning(HWND window, std::wstring& refusal) {
    const std::optional<DWORD> parent = parentProcessId();
    if (!parent || *parent == 0) {
        refusal = L"its parent process is unknown";
        return false;
    }
    DWORD windowProcess = 0;
    if (!::IsWindow(window) || !::GetWindowThreadProcessId(window, &windowProcess) || windowProcess != *parent) {
        refusal = L"the window does not belong to its parent process";
        return false;
    }
    UniqueHandle parentProcess(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, *parent));
    if (!parentProcess) {
        refusal = L"its parent process cannot be opened";
        return false;
    }
    const std::wstring own = programOf(::GetCurrentProcess());
    const std::wstring theirs = programOf(parentProcess.get());
    if (own.empty() || ::CompareStringOrdinal(own.c_str(), static_cast<int>(own.size()), theirs.c_str(),
                                              static_cast<int>(theirs.size()), TRUE) != CSTR_EQUAL) {
        refusal = L"its parent runs another program (" + theirs + L")";
        return false;
    }
    // A process id is reused once its process has ended: the parent that
    // holds the id now must be older than this process.
    const ULONGLONG parentStart = creationTimeOf(parentProcess.get());
    if (parentStart == 0 || parentStart > creationTimeOf(::GetCurrentProcess())) {
        refusal = L"its parent started after it";
        return false;
    }
    return true;
}

DWORD runElevatedCopy(const std::vector<std::wstring>& arguments) {
    std::wstring refusal;
    const std::optional<ElevatedCommand> command = parseElevatedArguments(arguments, refusal);
    if (!command) {
        LogManager::print(LogWarning, L"The elevated copy refused its command line: %s", refusal.c_str());
        return kCopyBadArguments;
    }
    bool heldBack = true;
    try {
        heldBack = rightsHeldBack();
    } catch (const vexception& error) {
        LogManager::logError(LogWarning, error);
    }
    if (heldBack) {
        LogManager::print(LogWarning, L"The elevated copy runs without administrator rights: %s not run",
                          commandTitle(command->verb));
        return kCopyNotElevated;
    }
    if (!startedByMonitorOwning(command->owner, refusal)) {
        LogManager::print(LogWarning, L"The elevated copy refused to run %s: %s", commandTitle(command->verb),
                          refusal.c_str());
        return kCopyForeignParent;
    }
    TrayApp app;
    return app.runElevatedCommand(*command);
}
