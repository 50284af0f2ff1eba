#include "sandbox_kit.h"

#include "diagnostics/handles.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

namespace sandboxkit {
namespace {

using ServiceHandle = UniqueServiceHandle;

std::string narrow(const std::wstring& text) {
    std::string result;
    for (wchar_t c : text) result.push_back(c < 128 ? static_cast<char>(c) : '?');
    return result;
}

[[noreturn]] void fail(const char* call, const std::wstring& name, DWORD code) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, " failed with %lu", code);
    throw std::runtime_error(std::string(call) + " '" + narrow(name) + "'" + buffer);
}

ServiceHandle openManager(DWORD access) {
    ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, access));
    if (!manager) fail("OpenSCManager", L"", ::GetLastError());
    return manager;
}

bool queryEx(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                  &needed) != FALSE;
}

bool waitState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    SERVICE_STATUS_PROCESS status{};
    while (true) {
        if (!queryEx(service, status)) return false;
        if (status.dwCurrentState == state) return true;
        if (::GetTickCount64() >= end) return false;
        ::Sleep(20);
    }
}

}  // namespace

std::wstring testsvcPath() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"testsvc.exe";
}

std::wstring uniqueName(const std::wstring& prefix) {
    static std::atomic<unsigned> counter{0};
    wchar_t suffix[40];
    std::swprintf(suffix, 40, L"%lu_%u", ::GetCurrentProcessId(), ++counter);
    return prefix + suffix;
}

void createService(const std::wstring& name, const std::wstring& display, const std::wstring& commandLineArgs,
                   const std::vector<std::wstring>& dependencies, DWORD startType, const std::wstring& binary) {
    std::wstring path = L"\"" + binary + L"\"";
    if (!commandLineArgs.empty()) path += L" " + commandLineArgs;
    std::wstring dependencyList;
    for (const auto& dependency : dependencies) {
        dependencyList += dependency;
        dependencyList.push_back(L'\0');
    }
    dependencyList.push_back(L'\0');
    const ServiceHandle manager = openManager(SC_MANAGER_CREATE_SERVICE);
    const ServiceHandle service(createWhenTheNameIsFree([&] {
        return ::CreateServiceW(manager.get(), name.c_str(), display.empty() ? nullptr : display.c_str(),
                                SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                path.c_str(), nullptr, nullptr, dependencies.empty() ? nullptr : dependencyList.c_str(),
                                nullptr, nullptr);
    }));
    if (!service) fail("CreateService", name, ::GetLastError());
}

SC_HANDLE createWhenTheNameIsFree(const std::function<SC_HANDLE()>& create) {
    for (int tries = 0;; ++tries) {
        if (SC_HANDLE service = create()) return service;
        if (::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE || tries == 100) return nullptr;
        ::Sleep(100);
    }
}

bool deleteService(const std::wstring& name, DWORD stopTimeoutMs) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) return false;
        fail("OpenService", name, error);
    }
    SERVICE_STATUS_PROCESS status{};
    if (queryEx(service.get(), status) && status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS ignored{};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
        if (!waitState(service.get(), SERVICE_STOPPED, stopTimeoutMs)) {
            // Wine's manager ends a service that is still running on the
            // second stop request; anything else loses its process.
            ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
            if (!waitState(service.get(), SERVICE_STOPPED, 1000) && queryEx(service.get(), status) &&
                status.dwProcessId != 0) {
                if (HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId)) {
                    ::TerminateProcess(process, 1);
                    ::WaitForSingleObject(process, 5000);
                    ::CloseHandle(process);
                }
                waitState(service.get(), SERVICE_STOPPED, 1000);
            }
        }
    }
    if (!::DeleteService(service.get())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) fail("DeleteService", name, error);
    }
    return true;
}

DWORD startService(const std::wstring& name) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_START));
    if (!service) return ::GetLastError();
    return ::StartServiceW(service.get(), 0, nullptr) ? 0 : ::GetLastError();
}

DWORD controlService(const std::wstring& name, DWORD control) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(
        ::OpenServiceW(manager.get(), name.c_str(), SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE));
    if (!service) return ::GetLastError();
    SERVICE_STATUS status{};
    return ::ControlService(service.get(), control, &status) ? 0 : ::GetLastError();
}

SERVICE_STATUS queryStatus(const std::wstring& name) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) fail("OpenService", name, ::GetLastError());
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(service.get(), &status)) fail("QueryServiceStatus", name, ::GetLastError());
    return status;
}

bool waitForState(const std::wstring& name, DWORD state, DWORD timeoutMs) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    if (!service) fail("OpenService", name, ::GetLastError());
    return waitState(service.get(), state, timeoutMs);
}

void setStartType(const std::wstring& name, DWORD startType) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service) fail("OpenService", name, ::GetLastError());
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr))
        fail("ChangeServiceConfig", name, ::GetLastError());
}

void setArguments(const std::wstring& name, const std::wstring& commandLineArgs) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_CHANGE_CONFIG));
    if (!service) fail("OpenService", name, ::GetLastError());
    std::wstring path = L"\"" + testsvcPath() + L"\"";
    if (!commandLineArgs.empty()) path += L" " + commandLineArgs;
    if (!::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
        fail("ChangeServiceConfig", name, ::GetLastError());
}

void startAndWait(const std::wstring& name, DWORD timeoutMs) {
    if (const DWORD error = startService(name)) fail("StartService", name, error);
    if (!waitForState(name, SERVICE_RUNNING, timeoutMs)) fail("waiting for RUNNING of", name, ERROR_TIMEOUT);
}

bool crashManagementService(const std::wstring& name) {
    const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
    const ServiceHandle service(::OpenServiceW(manager.get(), name.c_str(),
                                               SERVICE_QUERY_STATUS | SERVICE_USER_DEFINED_CONTROL));
    SERVICE_STATUS_PROCESS status{};
    if (!service || !queryEx(service.get(), status) || status.dwProcessId == 0) return false;
    const UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    if (!process) return false;
    // The service dies before it answers: ControlService fails (109 under Wine).
    SERVICE_STATUS ignored{};
    ::ControlService(service.get(), 200, &ignored);
    return ::WaitForSingleObject(process.get(), 10000) == WAIT_OBJECT_0 &&
           waitState(service.get(), SERVICE_STOPPED, 5000);
}

ScopedService::ScopedService(std::wstring name, const std::wstring& display, const std::wstring& commandLineArgs,
                             const std::vector<std::wstring>& dependencies, DWORD startType)
    : name_(std::move(name)) {
    createService(name_, display, commandLineArgs, dependencies, startType);
}

ScopedService::~ScopedService() {
    try {
        deleteService(name_);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ScopedService: %s\n", error.what());
    }
}

}  // namespace sandboxkit
