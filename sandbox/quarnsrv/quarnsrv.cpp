// quarnsrv: the sandbox's stand-in for the product's management service.
//
// Registered as the service "quarnsrv", it serves the pipe "\\.\pipe\" +
// the value "zrtpipe" of HKLM "SOFTWARE\Quarn\ZRT Config\Config" (32-bit
// view; "zrtpipe" when missing), read when the service starts. Any number of
// clients at once, one thread per connection, many calls per connection.
//
//   request  32-bit body length, then the body: a block of 16 bytes with the
//            method GUID, then one string record (the argument)
//   reply    32-bit length, then one string record, or the error marker
//            0xFFFFFFFF followed by a string record with the error text
// Length and body travel as two messages each way (message-mode pipe).
//
// getString(NAME) answers the REG_SZ value NAME of
//   HKLM "SOFTWARE\Quarn Sandbox\quarnsrv\Settings"
// and getPassword(KEY) the REG_SZ value KEY of
//   HKLM "SOFTWARE\Quarn Sandbox\quarnsrv\Passwords"
// (both in the 32-bit view), read at every call, so a test changes an answer
// by changing the value. A missing value, an unknown method or a malformed
// request is answered with the error marker and a text naming it.
//
// The user-defined control 200 (kControlCrash) makes the service die as a
// crashed one does, but so that the service manager still learns it stopped
// (under Wine a service process ended from outside stays "running" for good):
// it reports SERVICE_STOPPED with the service-specific exit code 9 and ends
// its own process at once, so every pipe connection breaks unanswered.
//
//   quarnsrv.exe                     run as the service (from the service manager)
//   quarnsrv.exe --console [--pipe=NAME]
//                                    serve the pipe as an ordinary process until
//                                    killed (a server that is not the service)
//
// Self-contained on purpose (Win32 and the standard library only): it checks
// the monitor's framing instead of sharing its code.
#include "diagnostics/win32.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t* const kConfigKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
const wchar_t* const kSettingsKey = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings";
const wchar_t* const kPasswordsKey = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Passwords";
constexpr uint32_t kMaxRequest = 1024 * 1024;
constexpr uint32_t kErrorMarker = 0xFFFFFFFFu;

// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}
constexpr GUID kGetString = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
// {50A1A607-50B9-4DB3-92EC-B940EB87F8FF}
constexpr GUID kGetPassword = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};

std::wstring g_serviceName = L"quarnsrv";
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

bool readValue(const wchar_t* key, const std::wstring& name, std::wstring& value) {
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &handle) != ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    LONG rc = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &size);
    bool ok = rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
    if (ok) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
        ok = ::RegQueryValueExW(handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
             ERROR_SUCCESS;
        if (ok) value.assign(data.data());
    }
    ::RegCloseKey(handle);
    return ok;
}

std::wstring pipeName() {
    std::wstring name;
    if (!readValue(kConfigKey, L"zrtpipe", name) || name.empty()) name = L"zrtpipe";
    return L"\\\\.\\pipe\\" + name;
}

void putU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t getU32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

void putString(std::vector<uint8_t>& out, const std::wstring& text) {
    putU32(out, static_cast<uint32_t>(text.size() * 2 + 1));
    out.push_back(2);
    for (wchar_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
}

std::vector<uint8_t> errorReply(const std::wstring& text) {
    std::vector<uint8_t> out;
    putU32(out, kErrorMarker);
    putString(out, text);
    return out;
}

std::wstring guidText(const GUID& id) {
    wchar_t text[64];
    std::swprintf(text, 64, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.Data1, id.Data2, id.Data3,
                  id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6],
                  id.Data4[7]);
    return text;
}

// The reply's bytes for one request body.
std::vector<uint8_t> answer(const std::vector<uint8_t>& body) {
    if (body.size() < 20 || getU32(body.data()) != 16) return errorReply(L"quarnsrv: malformed request");
    GUID method;
    std::memcpy(&method, body.data() + 4, sizeof method);
    const size_t at = 20;
    if (body.size() < at + 5) return errorReply(L"quarnsrv: malformed request: no argument");
    const uint32_t length = getU32(body.data() + at);
    if (length == 0 || length > body.size() - at - 4 || body[at + 4] != 2 || (length - 1) % 2 != 0)
        return errorReply(L"quarnsrv: malformed request: the argument is not a UTF-16 string record");
    std::wstring argument((length - 1) / 2, L'\0');
    for (size_t i = 0; i < argument.size(); ++i)
        argument[i] = static_cast<wchar_t>(body[at + 5 + 2 * i] | (body[at + 6 + 2 * i] << 8));

    std::wstring value;
    if (IsEqualGUID(method, kGetString)) {
        if (!readValue(kSettingsKey, argument, value)) return errorReply(L"quarnsrv: no value named '" + argument + L"'");
    } else if (IsEqualGUID(method, kGetPassword)) {
        if (!readValue(kPasswordsKey, argument, value))
            return errorReply(L"quarnsrv: no password stored for '" + argument + L"'");
    } else {
        return errorReply(L"quarnsrv: unknown method " + guidText(method));
    }
    std::vector<uint8_t> out;
    putString(out, value);
    return out;
}

// One whole message of exactly `count` bytes each way. The handle is
// overlapped (the accept loop needs that), so every transfer waits for its
// own completion.
bool transfer(HANDLE pipe, HANDLE event, void* buffer, DWORD count, bool write) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD done = 0;
    const BOOL ok = write ? ::WriteFile(pipe, buffer, count, &done, &overlapped)
                          : ::ReadFile(pipe, buffer, count, &done, &overlapped);
    if (!ok && ::GetLastError() != ERROR_IO_PENDING) return false;
    return ::GetOverlappedResult(pipe, &overlapped, &done, TRUE) && done == count;
}

DWORD WINAPI serveClient(void* parameter) {
    HANDLE pipe = static_cast<HANDLE>(parameter);
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (true) {
        uint8_t length[4];
        if (!transfer(pipe, event, length, 4, false)) break;
        const uint32_t size = getU32(length);
        if (size > kMaxRequest) break;
        std::vector<uint8_t> body(size);
        if (size != 0 && !transfer(pipe, event, body.data(), size, false)) break;
        std::vector<uint8_t> reply = answer(body);
        std::vector<uint8_t> replyLength;
        putU32(replyLength, static_cast<uint32_t>(reply.size()));
        if (!transfer(pipe, event, replyLength.data(), 4, true)) break;
        if (!transfer(pipe, event, reply.data(), static_cast<DWORD>(reply.size()), true)) break;
    }
    ::CloseHandle(event);
    ::FlushFileBuffers(pipe);
    ::DisconnectNamedPipe(pipe);
    ::CloseHandle(pipe);
    return 0;
}

// Accepts clients until the stop event is set (never without one).
void serve(const std::wstring& name) {
    HANDLE connected = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    while (true) {
        HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::fwprintf(stderr, L"quarnsrv: CreateNamedPipe %ls failed: %lu\n", name.c_str(), ::GetLastError());
            return;
        }
        OVERLAPPED overlapped{};
        overlapped.hEvent = connected;
        ::ResetEvent(connected);
        bool ok = ::ConnectNamedPipe(pipe, &overlapped) != 0;
        const DWORD error = ::GetLastError();
        if (!ok && error == ERROR_PIPE_CONNECTED) ok = true;
        if (!ok && error == ERROR_IO_PENDING) {
            HANDLE events[2] = {connected, g_stopEvent};
            const DWORD count = g_stopEvent ? 2 : 1;
            if (::WaitForMultipleObjects(count, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIo(pipe);
                ::CloseHandle(pipe);
                break;
            }
            DWORD unused = 0;
            ok = ::GetOverlappedResult(pipe, &overlapped, &unused, FALSE) != 0;
        }
        if (!ok) {
            ::CloseHandle(pipe);
            continue;
        }
        HANDLE thread = ::CreateThread(nullptr, 0, serveClient, pipe, 0, nullptr);
        if (thread) ::CloseHandle(thread);
        else ::CloseHandle(pipe);
    }
    ::CloseHandle(connected);
}

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 2000;
    ::SetServiceStatus(g_statusHandle, &status);
}

constexpr DWORD kControlCrash = 200;

DWORD WINAPI handler(DWORD control, DWORD, void*, void*) {
    if (control == kControlCrash) {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = SERVICE_STOPPED;
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = 9;
        ::SetServiceStatus(g_statusHandle, &status);
        ::TerminateProcess(::GetCurrentProcess(), 9);
    }
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        ::SetEvent(g_stopEvent);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD argc, wchar_t** argv) {
    if (argc > 0 && argv[0]) g_serviceName = argv[0];
    g_statusHandle = ::RegisterServiceCtrlHandlerExW(g_serviceName.c_str(), handler, nullptr);
    if (!g_statusHandle) return;
    g_stopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_START_PENDING);
    const std::wstring name = pipeName();
    report(SERVICE_RUNNING);
    serve(name);
    // Connected clients see their pipe break when the process ends.
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[1], L"--console") == 0) {
        std::wstring name = pipeName();
        if (argc >= 3 && std::wcsncmp(argv[2], L"--pipe=", 7) == 0) name = L"\\\\.\\pipe\\" + std::wstring(argv[2] + 7);
        std::fwprintf(stdout, L"quarnsrv: serving %ls\n", name.c_str());
        std::fflush(stdout);
        serve(name);
        return 1;
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"quarnsrv"), serviceMain}, {nullptr, nullptr}};
    if (!::StartServiceCtrlDispatcherW(table)) {
        std::fwprintf(stderr, L"quarnsrv: run as the service \"quarnsrv\", or with --console [--pipe=NAME]\n");
        return 1;
    }
    return 0;
}
