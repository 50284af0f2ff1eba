// "quarnsrv" replaced for the length of a test. Header-only: used by the
// tray and the live-state tests.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"
#include "sandbox_kit.h"

#include <string>
#include <vector>

namespace testing_support {

inline constexpr wchar_t kManagementServiceName[] = L"quarnsrv";

// "quarnsrv" as the test needs it: a registered one is taken away for the
// scope and registered again afterwards with its configuration and state.
class ManagementServiceScope {
public:
    ManagementServiceScope() {
        UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(::OpenServiceW(manager.get(), kManagementServiceName, SERVICE_ALL_ACCESS));
        if (!service) return;
        DWORD needed = 0;
        ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        config_.resize(needed);
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_.data());
        if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) return;
        SERVICE_STATUS status{};
        ::QueryServiceStatus(service.get(), &status);
        wasRunning_ = status.dwCurrentState == SERVICE_RUNNING;
        saved_ = true;
        service.reset();
        sandboxkit::deleteService(kManagementServiceName);
    }

    ~ManagementServiceScope() {
        sandboxkit::deleteService(kManagementServiceName);
        if (!saved_) return;
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_.data());
        UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        const bool system = config->lpServiceStartName && _wcsicmp(config->lpServiceStartName, L"LocalSystem") == 0;
        UniqueServiceHandle service(sandboxkit::createWhenTheNameIsFree([&] {
            return ::CreateServiceW(manager.get(), kManagementServiceName, config->lpDisplayName, SERVICE_ALL_ACCESS,
                                    config->dwServiceType, config->dwStartType, config->dwErrorControl,
                                    config->lpBinaryPathName, config->lpLoadOrderGroup, nullptr,
                                    config->lpDependencies, system ? nullptr : config->lpServiceStartName, nullptr);
        }));
        if (service && wasRunning_) ::StartServiceW(service.get(), 0, nullptr);
    }

    ManagementServiceScope(const ManagementServiceScope&) = delete;
    ManagementServiceScope& operator=(const ManagementServiceScope&) = delete;

    void create(const std::wstring& args, DWORD startType = SERVICE_DEMAND_START) {
        sandboxkit::createService(kManagementServiceName, L"Quarn management (test)", args, {}, startType);
    }
    void remove() { sandboxkit::deleteService(kManagementServiceName); }
    void setStartType(DWORD startType) {
        UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        UniqueServiceHandle service(::OpenServiceW(manager.get(), kManagementServiceName, SERVICE_ALL_ACCESS));
        ::ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr);
    }

private:
    std::vector<BYTE> config_;
    bool saved_ = false;
    bool wasRunning_ = false;
};

}  // namespace testing_support
