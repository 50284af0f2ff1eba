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

bool samePath(const std::wstring& left, const std::wstring& right) {
    return ::CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                  static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

std::vector<running_monitors_detail::ListedProcess> snapshotProcesses() {
    std::vector<running_monitors_detail::ListedProcess> processes;
    // CreateToolhelp32Snapshot fails with INVALID_HANDLE_VALUE.
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return processes;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        processes.push_back({entry.th32ProcessID, fileNameOf(entry.szExeFile)});
    return processes;
}

// Restart Manager knows which processes have the file loaded, in every
// session, without opening them.
bool restartManagerFileUsers(const std::wstring& file, std::vector<running_monitors_detail::FileUser>& users) {
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (::RmStartSession(&session, 0, key) != ERROR_SUCCESS) return false;
    LPCWSTR files[] = {file.c_str()};
    DWORD status = ::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr);
    std::vector<RM_PROCESS_INFO> listed;
    UINT count = 0;
    // The list may grow between the size query and the read.
    for (int attempt = 0; status == ERROR_SUCCESS && attempt < 4; ++attempt) {
        UINT needed = 0;
        count = static_cast<UINT>(listed.size());
        DWORD reasons = 0;
        status = ::RmGetList(session, &needed, &count, listed.empty() ? nullptr : listed.data(), &reasons);
        if (status != ERROR_MORE_DATA) break;
        listed.resize(needed + 4);
        status = ERROR_SUCCESS;
    }
    ::RmEndSession(session);
    if (status != ERROR_SUCCESS) return false;
    for (UINT i = 0; i < count && i < listed.size(); ++i)
        users.push_back({listed[i].Process.dwProcessId, listed[i].TSSessionId, listed[i].Process.ProcessStartTime});
    return true;
}

bool tokenElevated() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

// The shell's desktop window; where no shell window is set (another shell,
// or Wine's desktop), the notification area's, which the shell owns too.
HWND shellWindow() {
    if (const HWND window = ::GetShellWindow()) return window;
    return ::FindWindowW(L"Shell_TrayWnd", nullptr);
}

bool isListed(DWORD processId) {
    for (const running_monitors_detail::ListedProcess& process : running_monitors_detail::calls().listProcesses())
        if (process.processId == processId) return true;
    return false;
}

bool hasEnded(const RunningMonitor& monitor) {
    if (monitor.process) return ::WaitForSingleObject(monitor.process.get(), 0) == WAIT_OBJECT_0;
    return !isListed(monitor.processId);
}

// Restart Manager sends the monitors WM_QUERYENDSESSION and WM_ENDSESSION
// with ENDSESSION_CLOSEAPP, which the dialog answers by ending; nothing is
// forced. Only an administrator may close other users' processes this way.
void closeThroughRestartManager(const std::vector<const RunningMonitor*>& monitors) {
    std::vector<RM_UNIQUE_PROCESS> processes;
    for (const RunningMonitor* monitor : monitors) {
        FILETIME started = monitor->started;
        FILETIME exited{}, kernel{}, user{};
        if (monitor->process) ::GetProcessTimes(monitor->process.get(), &started, &exited, &kernel, &user);
        if (started.dwLowDateTime == 0 && started.dwHighDateTime == 0) continue;
        processes.push_back({monitor->processId, started});
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

std::wstring programOf(HANDLE process) {
    std::wstring path(MAX_PATH, L'\0');
    while (true) {
        DWORD length = static_cast<DWORD>(path.size());
        if (::QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
            path.resize(length);
            return path;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || path.size() > 32768) return std::wstring();
        path.resize(path.size() * 2);
    }
}

namespace running_monitors_detail {
Calls& calls() {
    static Calls platform{&snapshotProcesses, &restartManagerFileUsers, &::OpenProcess, &tokenElevated};
    return platform;
}
}  // namespace running_monitors_detail

std::vector<RunningMonitor> runningMonitors() {
    using namespace running_monitors_detail;
    const std::wstring program = ownProgramPath();
    const std::wstring name = fileNameOf(program);
    const DWORD self = ::GetCurrentProcessId();
    std::vector<RunningMonitor> monitors;
    auto known = [&](DWORD processId) {
        return processId == self || std::any_of(monitors.begin(), monitors.end(), [&](const RunningMonitor& monitor) {
                   return monitor.processId == processId;
               });
    };
    // False when the process refused to be opened.
    auto open = [](RunningMonitor& monitor) {
        monitor.process.reset(
            calls().openProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, monitor.processId));
        const DWORD refusal = monitor.process ? ERROR_SUCCESS : ::GetLastError();
        if (!monitor.sessionKnown)
            monitor.sessionKnown = ::ProcessIdToSessionId(monitor.processId, &monitor.sessionId) != FALSE;
        return refusal;
    };

    std::vector<FileUser> users;
    if (calls().listFileUsers(program, users)) {
        for (const FileUser& user : users) {
            if (known(user.processId)) continue;
            RunningMonitor& monitor = monitors.emplace_back();
            monitor.processId = user.processId;
            monitor.sessionId = user.sessionId;
            monitor.sessionKnown = true;
            monitor.started = user.started;
            open(monitor);
        }
    }
    // Restart Manager may miss processes it cannot open, and is missing on
    // some systems: the process list is read too.
    for (const ListedProcess& listed : calls().listProcesses()) {
        if (known(listed.processId) || !samePath(listed.fileName, name)) continue;
        RunningMonitor monitor;
        monitor.processId = listed.processId;
        const DWORD refusal = open(monitor);
        // Gone since the list was taken.
        if (!monitor.process && refusal == ERROR_INVALID_PARAMETER) continue;
        if (monitor.process) {
            // Another copy of the program, or another product's program of
            // the same name, is none of this installation's business.
            const std::wstring path = programOf(monitor.process.get());
            if (!path.empty() && !samePath(path, program)) continue;
        }
        monitors.push_back(std::move(monitor));
    }
    return monitors;
}

UniqueHandle startAsShellWould(const std::wstring& commandLine) {
    std::wstring line = commandLine;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    PROCESS_INFORMATION started{};
    if (running_monitors_detail::calls().runsElevated()) {
        DWORD shellProcess = 0;
        if (const HWND window = shellWindow()) ::GetWindowThreadProcessId(window, &shellProcess);
        UniqueHandle shell(shellProcess ? ::OpenProcess(PROCESS_CREATE_PROCESS, FALSE, shellProcess) : nullptr);
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<BYTE> attributes(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        HANDLE parent = shell.get();
        // The new process inherits its parent's token: the shell's, of
        // medium integrity, as if the user had started it there.
        if (shell && ::InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            BOOL created = FALSE;
            if (::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent, sizeof(parent),
                                            nullptr, nullptr)) {
                startup.StartupInfo.cb = sizeof(startup);
                startup.lpAttributeList = list;
                created = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT,
                                           nullptr, nullptr, &startup.StartupInfo, &started);
                startup = STARTUPINFOEXW{};
                startup.StartupInfo.cb = sizeof(startup.StartupInfo);
            }
            ::DeleteProcThreadAttributeList(list);
            if (created) {
                ::CloseHandle(started.hThread);
                return UniqueHandle(started.hProcess);
            }
        }
        LogManager::print(LogWarning, L"The monitor is started without the shell's token (error %lu)",
                          ::GetLastError());
        line = commandLine;
    }
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup.StartupInfo,
                          &started))
        return UniqueHandle();
    ::CloseHandle(started.hThread);
    return UniqueHandle(started.hProcess);
}

bool closeRunningMonitors(DWORD timeLimitMs, bool* closedInThisSession) {
    std::vector<RunningMonitor> monitors = runningMonitors();
    const DWORD session = currentSession();
    std::vector<const RunningMonitor*> elsewhere;
    bool here = false;
    bool unknown = false;
    for (const RunningMonitor& monitor : monitors) {
        if (monitor.sessionKnown && monitor.sessionId == session) {
            here = true;
            continue;
        }
        // One whose session could not be read may be of this session too.
        if (!monitor.sessionKnown) unknown = true;
        elsewhere.push_back(&monitor);
    }
    if (closedInThisSession) *closedInThisSession = here;
    if (monitors.empty()) return true;

    if (!elsewhere.empty()) closeThroughRestartManager(elsewhere);
    const bool post = here || unknown;
    const ULONGLONG start = ::GetTickCount64();
    ULONGLONG lastPost = 0;
    bool posted = false;
    while (true) {
        monitors.erase(std::remove_if(monitors.begin(), monitors.end(), hasEnded), monitors.end());
        if (monitors.empty()) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now - start >= timeLimitMs) break;
        if (post && (!posted || now - lastPost >= kRepostPeriodMs)) {
            // Posted, not sent: a monitor busy with a command does not answer
            // until the command ends, and the wait here has its own limit.
            ::PostMessageW(HWND_BROADCAST, exitMessage(), 0, 0);
            posted = true;
            lastPost = now;
        }
        ::Sleep(kPollPeriodMs);
    }
    for (const RunningMonitor& monitor : monitors)
        LogManager::print(LogWarning, L"Monitor process %lu (session %lu%s) did not end within %lu ms%s",
                          monitor.processId, monitor.sessionId, monitor.sessionKnown ? L"" : L", unknown",
                          timeLimitMs, monitor.process ? L"" : L" (it could not be opened)");
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
            if (monitor.sessionKnown && monitor.sessionId == session) return 0;
        // Not with this process's token: an installer run as administrator
        // would give the monitor a high integrity level, which the shell's
        // messages and an ordinary user's `exit` cannot reach.
        startAsShellWould(L"\"" + ownProgramPath() + L"\"");
        return 0;
    }
    return -1;
}
