// The monitor's refresh (catalogue rebuilt from the package registry, tree
// refilled, tray icon refreshed) for a server with many product services,
// against the service-manager calls it cannot avoid: one status and one
// configuration query per service.
//
// Usage: bench_catalogue_refresh [services=200] [rounds=5]
#include "app/tray_app.h"

#include "../tests/app/packages_fixture.h"
#include "diagnostics/handles.h"
#include "resource_ids.h"
#include "sandbox_kit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One status and one configuration query per service, each with its own
// connection, as any per-service query has to do.
void rawQueries(const std::vector<std::wstring>& names) {
    std::vector<BYTE> buffer(8192);
    for (const std::wstring& name : names) {
        UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        UniqueServiceHandle service(
            ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
        SERVICE_STATUS status{};
        ::QueryServiceStatus(service.get(), &status);
        DWORD needed = 0;
        ::QueryServiceConfigW(service.get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                              static_cast<DWORD>(buffer.size()), &needed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    std::vector<std::wstring> names;
    int status = 0;
    try {
        const auto setupStart = Clock::now();
        testing_support::PackagesSandbox packages;
        const wchar_t* groups[] = {L"Quarn Run-Time", L"Mail Server", L"Web", L"DNS", nullptr};
        for (int i = 0; i < count; ++i) {
            names.push_back(sandboxkit::uniqueName(L"qbench"));
            sandboxkit::createService(names.back(), L"Bench service " + std::to_wstring(i), L"");
            const std::wstring type = L"type" + std::to_wstring(i % 8);
            packages.setInstalled(type, L"package");
            packages.addService(type, L"package", names.back(), groups[i % 5]);
        }
        std::printf("setup: %d services in %.0f ms\n", count, millisecondsSince(setupStart));

        rawQueries(names);  // warm-up
        auto start = Clock::now();
        for (int round = 0; round < rounds; ++round) rawQueries(names);
        const double raw = millisecondsSince(start) / rounds;

        TrayApp app;
        app.open();
        HWND dialog = app.dialog()->handle();
        start = Clock::now();
        for (int round = 0; round < rounds; ++round) ::SendMessageW(dialog, WM_COMMAND, IDC_REFRESH, 0);
        const double refresh = millisecondsSince(start) / rounds;
        app.trayIcon().removeTrayIcon();
        ::DestroyWindow(dialog);

        std::printf("raw status+config queries: %8.1f ms per round (%.2f ms per service)\n", raw, raw / count);
        std::printf("monitor refresh:           %8.1f ms per round (%.2f ms per service)\n", refresh,
                    refresh / count);
        std::printf("ratio refresh/raw: %.2f\n", refresh / raw);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench failed: %s\n", error.what());
        status = 1;
    }
    for (const std::wstring& name : names) {
        try {
            sandboxkit::deleteService(name);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "cleanup: %s\n", error.what());
        }
    }
    return status;
}
