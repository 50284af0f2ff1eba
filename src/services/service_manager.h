// The connection to the service control manager and the scoped service
// handle that every service operation opens for the length of one call.
// Internal to the services subsystem.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <string>

namespace service_detail {

// Owns one service-control-manager handle, opened by the constructor with
// OpenSCManagerW. A failure raises "OpenSCManager" with the error code.
class servicemanager {
public:
    explicit servicemanager(DWORD access, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

    // Closes the handle if there is one and returns CloseServiceHandle's
    // result (0 when there was nothing to close).
    BOOL close();

    SC_HANDLE get() const { return handle_.get(); }

    // OpenServiceW on this manager. An empty handle on failure, with the
    // error left in GetLastError() for the caller to examine.
    UniqueServiceHandle openService(const std::wstring& name, DWORD access) const;

private:
    UniqueServiceHandle handle_;
};

// The two configuration calls whose answers Wine leaves empty (it reports
// no dependencies and no dependents). The queries go through this table so
// tests can stand in for them with Windows' answers; the program never
// changes it.
struct ConfigCalls {
    BOOL(WINAPI* queryServiceConfig)(SC_HANDLE, QUERY_SERVICE_CONFIGW*, DWORD, DWORD*) = ::QueryServiceConfigW;
    BOOL(WINAPI* enumDependentServices)(SC_HANDLE, DWORD, ENUM_SERVICE_STATUSW*, DWORD, DWORD*, DWORD*) =
        ::EnumDependentServicesW;
};
ConfigCalls& configCalls();

}  // namespace service_detail
