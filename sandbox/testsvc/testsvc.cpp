// testsvc: one configurable Windows service program standing in for the
// product's services. Register it with its options in the binary path, e.g.
//   sc create NAME binpath= "C:\...\testsvc.exe --start-delay=3000 --checkpoints=3"
// The service name comes from the dispatcher (own-process service).
//
// Options (all optional; unknown options are ignored, so a layout may add
// markers of its own such as --tag=mail):
//   --start-delay=MS         stay START_PENDING for MS before reporting RUNNING
//                            (default 0)
//   --checkpoints=N          raise the check point N times, evenly spread over
//                            the start delay (default 1)
//   --wait-hint=MS           wait hint reported with every pending state
//                            (default 2000)
//   --fail-start=W[:S]       after the start delay report STOPPED with Win32
//                            exit code W and service-specific exit code S
//                            (meaningful with W = 1066) instead of RUNNING;
//                            W may be 0
//   --stop-after-start       report RUNNING, then STOPPED at once (exit code 0)
//   --endless-start-pending  stay START_PENDING until stopped, raising the
//                            check point every half wait hint (at least 100 ms)
//   --ignore-stop            accept STOP requests but do nothing on them
//   --stop-delay=MS          on STOP stay STOP_PENDING for MS, raising the
//                            check point every 500 ms (default 0)
//   --accept-pause           accept PAUSE and CONTINUE
//   --pause-delay=MS         stay PAUSE_PENDING / CONTINUE_PENDING for MS
//                            (default 0)
//   --log=PATH               append "<service name> running" and
//                            "<service name> stopped" lines (ASCII, CRLF) to
//                            PATH when it reports those states
// STOP is accepted in every state but the stop-pending one, so a test can
// always end the service; a service started outside the service control
// manager prints this help and exits with code 1.
#include "diagnostics/win32.h"

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Options {
    DWORD startDelay = 0;
    DWORD checkpoints = 1;
    DWORD waitHint = 2000;
    bool failStart = false;
    DWORD failWin32 = 0;
    DWORD failSpecific = 0;
    bool stopAfterStart = false;
    bool endlessStartPending = false;
    bool ignoreStop = false;
    DWORD stopDelay = 0;
    bool acceptPause = false;
    DWORD pauseDelay = 0;
    std::wstring logPath;
};

enum Request : LONG { None = 0, Stop = 1, Pause = 2, Continue = 3 };

Options g_options;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};
CRITICAL_SECTION g_statusLock;
HANDLE g_wake = nullptr;             // auto-reset: a request is waiting
std::atomic<bool> g_stopRequested{false};
std::atomic<LONG> g_pauseRequest{None};
std::wstring g_serviceName;

bool optionValue(const wchar_t* arg, const wchar_t* name, const wchar_t** value) {
    const size_t length = std::wcslen(name);
    if (std::wcsncmp(arg, name, length) != 0) return false;
    if (arg[length] == L'\0') {
        *value = nullptr;
        return true;
    }
    if (arg[length] != L'=') return false;
    *value = arg + length + 1;
    return true;
}

DWORD number(const wchar_t* text) { return text ? std::wcstoul(text, nullptr, 10) : 0; }

Options parse(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        const wchar_t* value = nullptr;
        if (optionValue(arg, L"--start-delay", &value)) options.startDelay = number(value);
        else if (optionValue(arg, L"--checkpoints", &value)) options.checkpoints = number(value);
        else if (optionValue(arg, L"--wait-hint", &value)) options.waitHint = number(value);
        else if (optionValue(arg, L"--fail-start", &value)) {
            options.failStart = true;
            wchar_t* end = nullptr;
            options.failWin32 = value ? std::wcstoul(value, &end, 10) : 0;
            if (end && *end == L':') options.failSpecific = std::wcstoul(end + 1, nullptr, 10);
        } else if (optionValue(arg, L"--stop-after-start", &value)) options.stopAfterStart = true;
        else if (optionValue(arg, L"--endless-start-pending", &value)) options.endlessStartPending = true;
        else if (optionValue(arg, L"--ignore-stop", &value)) options.ignoreStop = true;
        else if (optionValue(arg, L"--stop-delay", &value)) options.stopDelay = number(value);
        else if (optionValue(arg, L"--accept-pause", &value)) options.acceptPause = true;
        else if (optionValue(arg, L"--pause-delay", &value)) options.pauseDelay = number(value);
        else if (optionValue(arg, L"--log", &value) && value) options.logPath = value;
    }
    if (options.checkpoints == 0) options.checkpoints = 1;
    return options;
}

DWORD acceptedIn(DWORD state) {
    switch (state) {
    case SERVICE_STOP_PENDING:
    case SERVICE_STOPPED:
        return 0;
    case SERVICE_RUNNING:
    case SERVICE_PAUSED:
        return SERVICE_ACCEPT_STOP | (g_options.acceptPause ? SERVICE_ACCEPT_PAUSE_CONTINUE : 0);
    default:
        return SERVICE_ACCEPT_STOP;
    }
}

// Appends one line to the --log file; several services may share it.
void logEvent(const char* event) {
    if (g_options.logPath.empty()) return;
    std::string line;
    for (wchar_t c : g_serviceName) line.push_back(c < 128 ? static_cast<char>(c) : '?');
    line = line + " " + event + "\r\n";
    HANDLE file = ::CreateFileW(g_options.logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    ::CloseHandle(file);
}

void report(DWORD state, DWORD checkPoint = 0, DWORD win32Exit = NO_ERROR, DWORD specificExit = 0) {
    ::EnterCriticalSection(&g_statusLock);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwCurrentState = state;
    g_status.dwControlsAccepted = acceptedIn(state);
    g_status.dwWin32ExitCode = win32Exit;
    g_status.dwServiceSpecificExitCode = specificExit;
    g_status.dwCheckPoint = checkPoint;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
    g_status.dwWaitHint = pending ? g_options.waitHint : 0;
    // Logged before the manager learns the state, so a reader that saw the
    // state also finds the line.
    if (state == SERVICE_RUNNING) logEvent("running");
    if (state == SERVICE_STOPPED) logEvent("stopped");
    ::SetServiceStatus(g_statusHandle, &g_status);
    ::LeaveCriticalSection(&g_statusLock);
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (!g_options.ignoreStop) {
            g_stopRequested = true;
            ::SetEvent(g_wake);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        if (!g_options.acceptPause) return ERROR_CALL_NOT_IMPLEMENTED;
        g_pauseRequest = control == SERVICE_CONTROL_PAUSE ? Pause : Continue;
        ::SetEvent(g_wake);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        ::EnterCriticalSection(&g_statusLock);
        ::SetServiceStatus(g_statusHandle, &g_status);
        ::LeaveCriticalSection(&g_statusLock);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Waits up to `ms` for a stop request; true when one arrived.
bool stopArrivesWithin(DWORD ms) {
    const ULONGLONG end = ::GetTickCount64() + ms;
    while (!g_stopRequested) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end) return false;
        ::WaitForSingleObject(g_wake, static_cast<DWORD>(end - now));
    }
    return true;
}

void stopService() {
    DWORD checkPoint = 1;
    report(SERVICE_STOP_PENDING, checkPoint);
    for (DWORD left = g_options.stopDelay; left > 0;) {
        const DWORD step = left < 500 ? left : 500;
        ::Sleep(step);
        left -= step;
        report(SERVICE_STOP_PENDING, ++checkPoint);
    }
    report(SERVICE_STOPPED);
}

void pendingThen(DWORD pendingState, DWORD finalState) {
    report(pendingState, 1);
    if (g_options.pauseDelay) ::Sleep(g_options.pauseDelay);
    report(finalState);
}

void WINAPI serviceMain(DWORD argc, wchar_t** argv) {
    g_serviceName = argc > 0 ? argv[0] : L"";
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_serviceName.c_str(), handler, nullptr);
    if (!g_statusHandle) return;

    DWORD checkPoint = 1;
    report(SERVICE_START_PENDING, checkPoint);
    if (g_options.endlessStartPending) {
        const DWORD step = g_options.waitHint / 2 > 100 ? g_options.waitHint / 2 : 100;
        while (!stopArrivesWithin(step)) report(SERVICE_START_PENDING, ++checkPoint);
        stopService();
        return;
    }
    for (DWORD i = 0; i < g_options.checkpoints; ++i) {
        if (stopArrivesWithin(g_options.startDelay / g_options.checkpoints)) {
            stopService();
            return;
        }
        report(SERVICE_START_PENDING, ++checkPoint);
    }
    if (g_options.failStart) {
        report(SERVICE_STOPPED, 0, g_options.failWin32, g_options.failSpecific);
        return;
    }
    report(SERVICE_RUNNING);
    if (g_options.stopAfterStart) {
        report(SERVICE_STOPPED);
        return;
    }
    while (true) {
        ::WaitForSingleObject(g_wake, INFINITE);
        if (g_stopRequested) {
            stopService();
            return;
        }
        switch (g_pauseRequest.exchange(None)) {
        case Pause:
            if (g_status.dwCurrentState == SERVICE_RUNNING) pendingThen(SERVICE_PAUSE_PENDING, SERVICE_PAUSED);
            break;
        case Continue:
            if (g_status.dwCurrentState == SERVICE_PAUSED) pendingThen(SERVICE_CONTINUE_PENDING, SERVICE_RUNNING);
            break;
        default:
            break;
        }
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    g_options = parse(argc, argv);
    ::InitializeCriticalSection(&g_statusLock);
    g_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);

    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        std::fwprintf(stderr,
                      L"testsvc runs as a Windows service only (error %lu). Options:\n"
                      L"  --start-delay=MS --checkpoints=N --wait-hint=MS --fail-start=W[:S]\n"
                      L"  --stop-after-start --endless-start-pending --ignore-stop --stop-delay=MS\n"
                      L"  --accept-pause --pause-delay=MS --log=PATH\n",
                      ::GetLastError());
        return 1;
    }
    return 0;
}
