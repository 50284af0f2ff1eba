// Read-only queries of the service control manager. Each call opens its own
// connection (SC_MANAGER_CONNECT) and service handle and closes both before
// returning, on every path. Every operation takes, after its own arguments,
// an optional machine name and service database name (null: the local
// machine, the active database).
//
// Failures raise the vosexception subclass chosen by the error code (for a
// missing service VServiceDoesNotExistException with the where text
// "OpenService '<name>'"); only service::exist reports a missing service as
// a result.
#pragma once

#include "diagnostics/win32.h"

#include <list>
#include <string>

namespace service {

// An ordered list of service names the caller owns; operations append to it.
using ServiceNameList = std::list<std::wstring>;

// Results of effStatus.
enum EffectiveStatus : int {
    EffActive = 0,     // START_PENDING, RUNNING or CONTINUE_PENDING
    EffStartable = 1,  // any other state, startup type not disabled
    EffDisabled = 2,   // any other state, startup type disabled
};

// Fills `status` with QueryServiceStatus and returns 0. On failure the
// record, as last filled, is written to the log before the error is raised.
DWORD queryStatusService(SERVICE_STATUS& status, const std::wstring& name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);

// True when the service can be opened, false when the manager reports
// ERROR_SERVICE_DOES_NOT_EXIST; any other error is raised.
bool exist(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// True for START_PENDING, RUNNING and CONTINUE_PENDING only.
bool isActive(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// EffActive for an active service (whatever its startup type), otherwise
// EffDisabled or EffStartable by its startup type.
int effStatus(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// The process id of a running service (QueryServiceStatusEx); 0 while it
// is stopped.
DWORD serviceProcessId(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// The configured display name; empty when the configuration has none.
std::wstring serviceDisplayName(const wchar_t* name, const wchar_t* machine = nullptr,
                                const wchar_t* database = nullptr);
std::wstring serviceDisplayName(const std::wstring& name, const wchar_t* machine = nullptr,
                                const wchar_t* database = nullptr);

// The configured start type (SERVICE_BOOT_START .. SERVICE_DISABLED).
DWORD serviceStartupType(const std::wstring& name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);

// Appends, in configuration order, the services and "+group" entries the
// service depends on.
void serviceDependencies(ServiceNameList& names, const std::wstring& name, const wchar_t* machine = nullptr,
                         const wchar_t* database = nullptr);

// Appends, in the manager's order, the names of the services that depend on
// this one and whose state matches `stateFilter` (SERVICE_ACTIVE,
// SERVICE_INACTIVE or SERVICE_STATE_ALL).
void dependentServices(ServiceNameList& names, const std::wstring& name, DWORD stateFilter,
                       const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

}  // namespace service

// Writes the record to the product log at Info, one line per field.
void logServiceStatus(const SERVICE_STATUS& status);
