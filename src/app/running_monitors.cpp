#include "app/running_monitors.h"

#include "app/exit_message.h"
#include "diagnostics/log_manager.h"

#include <restartmanager.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

namespace {

constexpr DWORD kRepostPeriodMs = 1000;
constexpr DWORD kPollPeriodMs = 50;
constexpr wchar_t kSessionValue[] = L"Session";
constexpr wchar_t kProductSourcesKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Quarn";

std::wstring ownProgramPath() {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring fileNameOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

DWORD currentSession() {
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    return session;
}

bool hasEnded(const RunningMonitor& monitor) {
    return ::WaitForSingleObject(monitor.process.get(), 0) == WAIT_OBJECT_0;
}

// Restart Manager sends the monitors WM_QUERYENDSESSION and WM_ENDSESSION
// with ENDSESSION_CLOSEAPP, which the dialog answers by ending; nothing is
// forced. Only an administrator may close other users' processes this way.
void closeThroughRestartManager(const std::vector<const RunningMonitor*>& monitors) {
    std::vector<RM_UNIQUE_PROCESS> processes;
    for (const RunningMonitor* monitor : monitors) {
        FILETIME created{}, exited{}, kernel{}, user{};
        if (!::GetProcessTimes(monitor->process.get(), &created, &exited, &kernel, &user)) continue;
        processes.push_back({monitor->processId, created});
    }
    if (processes.empty()) return;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    DWORD status = ::RmStartSession(&session, 0, key);
    if (status != ERROR_SUCCESS) {
        LogManager::print(LogWarning, L"Restart Manager session not started (error %lu)", status);
        return;
    }
    status = ::RmRegisterResources(session, 0, nullptr, static_cast<UINT>(processes.size()), processes.data(), 0,
                                   nullptr);
    if (status == ERROR_SUCCESS) status = ::RmShutdown(session, 0, nullptr);
    if (status != ERROR_SUCCESS)
        LogManager::print(LogWarning, L"Restart Manager did not close every monitor (error %lu)", status);
    ::RmEndSession(session);
}

bool isServiceAccount(PSID sid) {
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinLocalServiceSid) ||
           ::IsWellKnownSid(sid, WinNetworkServiceSid);
}

}  // namespace

std::vector<RunningMonitor> runningMonitors() {
    std::vector<RunningMonitor> monitors;
    const std::wstring name = fileNameOf(ownProgramPath());
    // CreateToolhelp32Snapshot fails with INVALID_HANDLE_VALUE.
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return monitors;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == ::GetCurrentProcessId()) continue;
        if (_wcsicmp(fileNameOf(entry.szExeFile).c_str(), name.c_str()) != 0) continue;
        RunningMonitor monitor;
        monitor.processId = entry.th32ProcessID;
        monitor.process.reset(
            ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!monitor.process) continue;
        ::ProcessIdToSessionId(entry.th32ProcessID, &monitor.sessionId);
        monitors.push_back(std::move(monitor));
    }
    return monitors;
}

bool closeRunningMonitors(DWORD timeLimitMs, bool* closedInThisSession) {
    std::vector<RunningMonitor> monitors = runningMonitors();
    const DWORD session = currentSession();
    std::vector<const RunningMonitor*> elsewhere;
    bool here = false;
    for (const RunningMonitor& monitor : monitors) {
        if (monitor.sessionId == session)
            here = true;
        else
            elsewhere.push_back(&monitor);
    }
    if (closedInThisSession) *closedInThisSession = here;
    if (monitors.empty()) return true;

    if (!elsewhere.empty()) closeThroughRestartManager(elsewhere);
    const ULONGLONG start = ::GetTickCount64();
    ULONGLONG lastPost = 0;
    bool posted = false;
    while (true) {
        monitors.erase(std::remove_if(monitors.begin(), monitors.end(), hasEnded), monitors.end());
        if (monitors.empty()) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now - start >= timeLimitMs) break;
        if (here && (!posted || now - lastPost >= kRepostPeriodMs)) {
            // Posted, not sent: a monitor busy with a command does not answer
            // until the command ends, and the wait here has its own limit.
            ::PostMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
            posted = true;
            lastPost = now;
        }
        ::Sleep(kPollPeriodMs);
    }
    for (const RunningMonitor& monitor : monitors)
        LogManager::print(LogWarning, L"Monitor process %lu (session %lu) did not end within %lu ms",
                          monitor.processId, monitor.sessionId, timeLimitMs);
    return false;
}

bool runsWithoutInteractiveUser() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return true;
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return true;
    if (isServiceAccount(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid)) return true;
    USEROBJECTFLAGS flags{};
    if (!::GetUserObjectInformationW(::GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) == 0;
}

void rememberRestart() {
    UniqueRegKey key;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, kRestartRequestKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                          nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    const DWORD session = currentSession();
    ::RegSetValueExW(key.get(), kSessionValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&session),
                     sizeof(session));
}

bool takeRestartRequest() {
    DWORD session = 0, size = sizeof(session);
    const LSTATUS read = ::RegGetValueW(HKEY_CURRENT_USER, kRestartRequestKey, kSessionValue, RRF_RT_REG_DWORD,
                                        nullptr, &session, &size);
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kRestartRequestKey);
    return read == ERROR_SUCCESS && session == currentSession();
}

bool removeOwnEventSource() {
    const std::wstring name = fileNameOf(ownProgramPath());
    bool removed = true;
    for (const std::wstring& source : {name, L"Quarn:  " + name}) {
        const std::wstring key = std::wstring(kProductSourcesKey) + L"\\" + source;
        const LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) removed = false;
    }
    return removed;
}

int runInstallerCommand(const std::wstring& command) {
    if (command == L"close") return closeRunningMonitors(kCloseTimeLimitMs) ? 0 : 1;
    if (command == L"close-for-upgrade") {
        bool here = false;
        if (!closeRunningMonitors(kCloseTimeLimitMs, &here)) return 1;
        if (here && !runsWithoutInteractiveUser()) rememberRestart();
        return 0;
    }
    if (command == L"close-for-removal") {
        if (!closeRunningMonitors(kCloseTimeLimitMs)) return 1;
        removeOwnEventSource();
        return 0;
    }
    if (command == L"restart-after-upgrade") {
        if (!takeRestartRequest() || runsWithoutInteractiveUser()) return 0;
        const DWORD session = currentSession();
        for (const RunningMonitor& monitor : runningMonitors())
            if (monitor.sessionId == session) return 0;
        std::wstring commandLine = L"\"" + ownProgramPath() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &started)) {
            ::CloseHandle(started.hThread);
            ::CloseHandle(started.hProcess);
        }
        return 0;
    }
    return -1;
}
