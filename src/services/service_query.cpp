#include "services/service_query.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "services/service_manager.h"

#include <vector>

using service_detail::servicemanager;

namespace {

constexpr ContextSite kExistOpenSite{"service::exist", 298};
constexpr ContextSite kStatusOpenSite{"service::queryStatusService", 671};
constexpr ContextSite kStatusQuerySite{"service::queryStatusService", 677};
constexpr ContextSite kProcessIdOpenSite{"service::serviceProcessId", 733};
constexpr ContextSite kProcessIdQuerySite{"service::serviceProcessId", 740};
constexpr ContextSite kDisplayNameOpenSite{"service::serviceDisplayName", 787};
constexpr ContextSite kDisplayNameQuerySite{"service::serviceDisplayName", 800};
constexpr ContextSite kStartupTypeOpenSite{"service::serviceStartupType", 844};
constexpr ContextSite kStartupTypeQuerySite{"service::serviceStartupType", 857};
constexpr ContextSite kDependenciesOpenSite{"service::serviceDependencies", 875};
constexpr ContextSite kDependenciesQuerySite{"service::serviceDependencies", 888};
constexpr ContextSite kDependentsOpenSite{"service::dependentServices", 903};
constexpr ContextSite kDependentsQuerySite{"service::dependentServices", 917};

// A first guess that holds a configuration with short strings.
constexpr DWORD kFirstConfigBufferSize = 260;

UniqueServiceHandle openOrRaise(const servicemanager& manager, const std::wstring& name, DWORD access,
                                const ContextSite& site) {
    UniqueServiceHandle handle = manager.openService(name, access);
    if (!handle) raiseOsError(L"OpenService '" + name + L"'", ::GetLastError(), site.entry());
    return handle;
}

// The service's QUERY_SERVICE_CONFIGW in a buffer of its own, read into 260
// bytes first and again into exactly the reported size while that is short.
std::vector<BYTE> queryConfig(const std::wstring& name, const wchar_t* machine, const wchar_t* database,
                              const ContextSite& openSite, const ContextSite& querySite) {
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = openOrRaise(manager, name, SERVICE_QUERY_CONFIG, openSite);
    std::vector<BYTE> buffer(kFirstConfigBufferSize);
    DWORD needed = 0;
    const auto query = service_detail::configCalls().queryServiceConfig;
    while (!query(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                  static_cast<DWORD>(buffer.size()), &needed)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            raiseOsError(L"query service config '" + name + L"'", error, querySite.entry());
        std::vector<BYTE>(needed).swap(buffer);
    }
    return buffer;
}

const QUERY_SERVICE_CONFIGW& config(const std::vector<BYTE>& buffer) {
    return *reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
}

bool isActiveState(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_RUNNING || state == SERVICE_CONTINUE_PENDING;
}

}  // namespace

namespace service {

DWORD queryStatusService(SERVICE_STATUS& status, const std::wstring& name, const wchar_t* machine,
                         const wchar_t* database) {
    try {
        servicemanager manager(SC_MANAGER_CONNECT, machine, database);
        const UniqueServiceHandle service = openOrRaise(manager, name, SERVICE_QUERY_STATUS, kStatusOpenSite);
        if (!::QueryServiceStatus(service.get(), &status))
            raiseOsError(L"QueryServiceStatus '" + name + L"'", ::GetLastError(), kStatusQuerySite.entry());
        return 0;
    } catch (...) {
        logServiceStatus(status);
        throw;
    }
}

DWORD serviceProcessId(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = openOrRaise(manager, name, SERVICE_QUERY_STATUS, kProcessIdOpenSite);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed))
        raiseOsError(L"QueryServiceStatusEx '" + name + L"'", ::GetLastError(), kProcessIdQuerySite.entry());
    return status.dwProcessId;
}

bool exist(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = manager.openService(name, SERVICE_QUERY_STATUS);
    if (service) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return false;
    raiseOsError(L"OpenService '" + name + L"'", error, kExistOpenSite.entry());
}

bool isActive(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    SERVICE_STATUS status{};
    queryStatusService(status, name, machine, database);
    return isActiveState(status.dwCurrentState);
}

int effStatus(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    if (isActive(name, machine, database)) return EffActive;
    return serviceStartupType(name, machine, database) == SERVICE_DISABLED ? EffDisabled : EffStartable;
}

std::wstring serviceDisplayName(const wchar_t* name, const wchar_t* machine, const wchar_t* database) {
    const std::wstring serviceName(name ? name : L"");
    const auto buffer = queryConfig(serviceName, machine, database, kDisplayNameOpenSite, kDisplayNameQuerySite);
    const wchar_t* display = config(buffer).lpDisplayName;
    return display ? std::wstring(display) : std::wstring();
}

std::wstring serviceDisplayName(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    return serviceDisplayName(name.c_str(), machine, database);
}

DWORD serviceStartupType(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    const auto buffer = queryConfig(name, machine, database, kStartupTypeOpenSite, kStartupTypeQuerySite);
    return config(buffer).dwStartType;
}

void serviceDependencies(ServiceNameList& names, const std::wstring& name, const wchar_t* machine,
                         const wchar_t* database) {
    const auto buffer = queryConfig(name, machine, database, kDependenciesOpenSite, kDependenciesQuerySite);
    const wchar_t* entry = config(buffer).lpDependencies;
    if (!entry) return;
    // A double-null-terminated list: entries end at the first empty one.
    while (*entry) {
        std::wstring dependency(entry);
        entry += dependency.size() + 1;
        names.push_back(std::move(dependency));
    }
}

void dependentServices(ServiceNameList& names, const std::wstring& name, DWORD stateFilter, const wchar_t* machine,
                       const wchar_t* database) {
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    const UniqueServiceHandle service = openOrRaise(manager, name, SERVICE_ENUMERATE_DEPENDENTS, kDependentsOpenSite);
    // Starts with room for exactly one entry without its strings.
    std::vector<ENUM_SERVICE_STATUSW> buffer(1);
    DWORD bufferBytes = sizeof(ENUM_SERVICE_STATUSW);
    DWORD needed = 0;
    DWORD count = 0;
    const auto enumerate = service_detail::configCalls().enumDependentServices;
    while (!enumerate(service.get(), stateFilter, buffer.data(), bufferBytes, &needed, &count)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_MORE_DATA)
            raiseOsError(L"enum dependent services of service '" + name + L"'", error, kDependentsQuerySite.entry());
        // Entries are followed by their strings; keep the entries' alignment.
        buffer.resize((needed + sizeof(ENUM_SERVICE_STATUSW) - 1) / sizeof(ENUM_SERVICE_STATUSW));
        bufferBytes = needed;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (buffer[i].lpServiceName) names.emplace_back(buffer[i].lpServiceName);
    }
}

}  // namespace service

void logServiceStatus(const SERVICE_STATUS& status) {
    LogManager::print(LogInfo, L"  Service Type: 0x%x", status.dwServiceType);
    LogManager::print(LogInfo, L"  Controls Accepted: 0x%x", status.dwControlsAccepted);
    LogManager::print(LogInfo, L"  Current State: %d", status.dwCurrentState);
    LogManager::print(LogInfo, L"  Exit Code: %d", status.dwWin32ExitCode);
    LogManager::print(LogInfo, L"  Service Specific Exit Code: %d", status.dwServiceSpecificExitCode);
    LogManager::print(LogInfo, L"  Check Point: %d", status.dwCheckPoint);
    LogManager::print(LogInfo, L"  Wait Hint: %d", status.dwWaitHint);
}
