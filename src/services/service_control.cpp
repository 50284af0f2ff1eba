#include "services/service_control.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "services/service_manager.h"
#include "threading/cancelation_point.h"

#include <cwchar>
#include <vector>

using service::ServiceNameList;
using service_detail::servicemanager;

namespace {

constexpr ContextSite kControlOpenSite{"service::controlService", 481};
constexpr ContextSite kControlQuerySite{"service::controlService", 489};
constexpr ContextSite kControlSendSite{"service::controlService", 508};
constexpr ContextSite kControlPollSite{"service::controlService", 517};
constexpr ContextSite kStartOpenSite{"service::startService", 177};
constexpr ContextSite kStartQuerySite{"service::startService", 184};
constexpr ContextSite kStartSendSite{"service::startService", 211};
constexpr ContextSite kStartRequerySite{"service::startService", 216};
constexpr ContextSite kStartPollSite{"service::startService", 238};
constexpr ContextSite kStartWrapSite{"service::startService", 274};
constexpr ContextSite kStartStopSite{"service::startStopService", 994};

// What a control code asks for: the access it needs besides
// STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_STATUS, the state the service
// passes through and the state it ends in.
struct ControlStates {
    DWORD access;
    DWORD pending;
    DWORD target;
};

bool controlStates(DWORD code, ControlStates& states) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
        states = {SERVICE_STOP, SERVICE_STOP_PENDING, SERVICE_STOPPED};
        return true;
    case SERVICE_CONTROL_PAUSE:
        states = {SERVICE_PAUSE_CONTINUE, SERVICE_PAUSE_PENDING, SERVICE_PAUSED};
        return true;
    case SERVICE_CONTROL_CONTINUE:
        states = {SERVICE_PAUSE_CONTINUE, SERVICE_CONTINUE_PENDING, SERVICE_RUNNING};
        return true;
    default:
        return false;
    }
}

// A stop request to a service that is not running, or that went away while
// the request was sent, has nothing left to do.
bool stopAlreadyDone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_NOT_ACTIVE;
}

std::wstring quoted(const wchar_t* what, const std::wstring& name) { return std::wstring(what) + L" '" + name + L"'"; }

}  // namespace

namespace service_detail {

DWORD controlService(WaitClock& clock, DWORD code, const std::wstring& name, const wchar_t* machine,
                     const wchar_t* database) {
    SERVICE_STATUS status{};
    servicemanager manager(SC_MANAGER_CONNECT, machine, database);
    try {
        ControlStates states{};
        if (!controlStates(code, states))
            raiseOsError(format(L"ControlService '%s' with code %d", name.c_str(), code), ERROR_INVALID_PARAMETER,
                         kControlSendSite.entry());
        const UniqueServiceHandle service =
            manager.openService(name, STANDARD_RIGHTS_REQUIRED | SERVICE_QUERY_STATUS | states.access);
        if (!service) {
            const DWORD error = ::GetLastError();
            if (code == SERVICE_CONTROL_STOP && error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
            raiseOsError(quoted(L"OpenService", name), error, kControlOpenSite.entry());
        }
        if (!::QueryServiceStatus(service.get(), &status))
            raiseOsError(quoted(L"QueryServiceStatus", name), ::GetLastError(), kControlQuerySite.entry());
        const DWORD initialState = status.dwCurrentState;

        // A service already passing through the requested change refuses a
        // second request (ERROR_SERVICE_CANNOT_ACCEPT_CTRL); it is waited for.
        if (initialState != states.pending) {
            if (!::ControlService(service.get(), code, &status)) {
                const DWORD error = ::GetLastError();
                if (code == SERVICE_CONTROL_STOP && stopAlreadyDone(error)) return 0;
                raiseOsError(format(L"ControlService '%s' with code %d", name.c_str(), code), error,
                             kControlSendSite.entry());
            }
            waitForStateChange(clock, status, initialState, [&](SERVICE_STATUS& current) {
                if (!::QueryServiceStatus(service.get(), &current))
                    raiseOsError(quoted(L"QueryServiceStatus", name), ::GetLastError(), kControlPollSite.entry());
            });
        }
        const DWORD waitResult = waitWhilePending(clock, status, states.pending, [&](SERVICE_STATUS& current) {
            return ::QueryServiceStatus(service.get(), &current) ? DWORD(0) : ::GetLastError();
        });

        if (status.dwCurrentState == states.target) return 0;
        LogManager::print(LogWarning, L"controlService fail");
        logServiceStatus(status);
        return waitResult != 0 ? waitResult : DWORD(ERROR_TIMEOUT);
    } catch (...) {
        logServiceStatus(status);
        throw;
    }
}

DWORD startService(WaitClock& clock, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    const auto entry = [&] { return kStartWrapSite.entry(format(L"startService(%s)", name.c_str())); };
    return runWrappedCancelable(entry, [&]() -> DWORD {
        SERVICE_STATUS status{};
        try {
            servicemanager manager(SC_MANAGER_CONNECT, machine, database);
            const UniqueServiceHandle service = manager.openService(name, SERVICE_ALL_ACCESS);
            if (!service) raiseOsError(quoted(L"OpenService", name), ::GetLastError(), kStartOpenSite.entry());
            if (!::QueryServiceStatus(service.get(), &status))
                raiseOsError(quoted(L"QueryServiceStatus", name), ::GetLastError(), kStartQuerySite.entry());

            bool send = false;
            switch (status.dwCurrentState) {
            case SERVICE_STOPPED:
                send = true;
                break;
            case SERVICE_STOP_PENDING:
                if (const DWORD result = controlService(clock, SERVICE_CONTROL_STOP, name, machine, database))
                    return result;
                send = true;
                break;
            case SERVICE_CONTINUE_PENDING:
            case SERVICE_PAUSED:
                return controlService(clock, SERVICE_CONTROL_CONTINUE, name, machine, database);
            case SERVICE_PAUSE_PENDING:
                if (const DWORD result = controlService(clock, SERVICE_CONTROL_PAUSE, name, machine, database))
                    return result;
                return controlService(clock, SERVICE_CONTROL_CONTINUE, name, machine, database);
            default:  // START_PENDING, RUNNING, or a state the platform does not define
                break;
            }

            if (send) {
                if (!::StartServiceW(service.get(), 0, nullptr)) {
                    const DWORD error = ::GetLastError();
                    if (error != ERROR_SERVICE_ALREADY_RUNNING)
                        raiseOsError(quoted(L"StartService", name), error, kStartSendSite.entry());
                }
                if (!::QueryServiceStatus(service.get(), &status))
                    raiseOsError(quoted(L"QueryServiceStatus", name), ::GetLastError(), kStartRequerySite.entry());
            }

            const auto queryOrRaise = [&](SERVICE_STATUS& current) {
                if (!::QueryServiceStatus(service.get(), &current))
                    raiseOsError(quoted(L"QueryServiceStatus", name), ::GetLastError(), kStartPollSite.entry());
                return DWORD(0);
            };
            const DWORD waitResult = waitWhilePending(clock, status, SERVICE_START_PENDING, queryOrRaise);
            if (status.dwCurrentState == SERVICE_RUNNING) return 0;

            DWORD result = ERROR_TIMEOUT;
            if (waitResult != ERROR_TIMEOUT) {
                result = status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                                : status.dwWin32ExitCode;
                if (result == 0) result = status.dwCurrentState;
            }
            LogManager::print(LogWarning, L"StartService '%s' failed", name.c_str());
            logServiceStatus(status);
            return result;
        } catch (...) {
            logServiceStatus(status);
            throw;
        }
    });
}

const DependencyLookup& managerDependencyLookup() {
    static const DependencyLookup lookup{
        [](ServiceNameList& names, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
            service::serviceDependencies(names, name, machine, database);
        },
        [](ServiceNameList& names, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
            service::dependentServices(names, name, SERVICE_ACTIVE, machine, database);
        }};
    return lookup;
}

namespace {

// One level of startStopService; `chain` holds the services whose
// dependencies (start) or dependents (stop) are being handled, outermost
// first. A name that comes back while it is on the chain closes a cycle that
// would never end: it is raised, naming the services of the cycle in order.
void startStopInChain(const DependencyLookup& lookup, WaitClock& clock, const std::wstring& name, bool start,
                      const wchar_t* machine, const wchar_t* database, service::ProgressCallback progress,
                      void* context, ServiceNameList* stopped, std::vector<std::wstring>& chain) {
    for (size_t i = 0; i < chain.size(); ++i) {
        if (_wcsicmp(chain[i].c_str(), name.c_str()) != 0) continue;
        std::wstring cycle;
        for (size_t j = i; j < chain.size(); ++j) cycle += chain[j] + L" -> ";
        throw vexception((start ? L"Service dependency cycle: " : L"Service dependent cycle: ") + cycle + name,
                         kStartStopSite.entry());
    }
    if (service::isActive(name, machine, database) == start) return;

    if (progress) progress(service::StageGatherDependencies, name.c_str(), context);
    ServiceNameList names;
    if (start)
        lookup.dependencies(names, name, machine, database);
    else
        lookup.activeDependents(names, name, machine, database);
    chain.push_back(name);
    for (const std::wstring& other : names) {
        // A load-order group is no service; the manager checks it on start.
        if (!other.empty() && other.front() == SC_GROUP_IDENTIFIERW) continue;
        if (!start && stopped) stopped->push_back(other);
        startStopInChain(lookup, clock, other, start, machine, database, nullptr, nullptr, stopped, chain);
    }
    chain.pop_back();

    if (progress) progress(start ? service::StageStarting : service::StageStopping, name.c_str(), context);
    const DWORD result = start ? startService(clock, name, machine, database)
                               : controlService(clock, SERVICE_CONTROL_STOP, name, machine, database);
    if (result != 0)
        raiseOsError((start ? L"Start service " : L"Stop service ") + name, result, kStartStopSite.entry());
}

}  // namespace

void startStopService(const DependencyLookup& lookup, WaitClock& clock, const std::wstring& name, bool start,
                      const wchar_t* machine, const wchar_t* database, service::ProgressCallback progress,
                      void* context, ServiceNameList* stopped) {
    std::vector<std::wstring> chain;
    startStopInChain(lookup, clock, name, start, machine, database, progress, context, stopped, chain);
}

}  // namespace service_detail

namespace service {

DWORD controlService(DWORD code, const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    return service_detail::controlService(service_detail::systemWaitClock(), code, name, machine, database);
}

DWORD startService(const std::wstring& name, const wchar_t* machine, const wchar_t* database) {
    return service_detail::startService(service_detail::systemWaitClock(), name, machine, database);
}

void startStopService(const std::wstring& name, bool start, const wchar_t* machine, const wchar_t* database,
                      ProgressCallback progress, void* context, ServiceNameList* stopped) {
    service_detail::startStopService(service_detail::managerDependencyLookup(), service_detail::systemWaitClock(),
                                     name, start, machine, database, progress, context, stopped);
}

}  // namespace service
