// The monitor's refresh (catalogue rebuilt from the package registry, tree
// refilled, tray icon refreshed) for a server with many product services,
// against two baselines done with raw platform calls:
//  - the calls the design prescribes for each service: `exist`, the display
//    name, the status and the configuration (startup type), each query on a
//    service-manager connection of its own, as the service queries are
//    specified (a configuration query tries a 260-byte buffer first);
//  - the floor: one EnumServicesStatusExW for every service at once.
//
// Usage: bench_catalogue_refresh [services=200] [rounds=5]
#include "app/service_catalogue.h"
#include "app/tray_app.h"

#include "../tests/app/packages_fixture.h"
#include "bench_timing.h"
#include "diagnostics/handles.h"
#include "resource_ids.h"
#include "sandbox_kit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One query as the service queries do it: a connection, the service, the
// query, both handles closed.
template <class Query>
void onItsOwnConnection(const std::wstring& name, DWORD access, Query query) {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), access));
    query(service.get());
}

// QueryServiceConfigW with a first buffer of 260 bytes, then one of the
// size the call asked for.
void queryConfig(SC_HANDLE service) {
    std::vector<BYTE> buffer(260);
    DWORD needed = 0;
    while (!::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed) &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        buffer.assign(needed, 0);
}

void prescribedQueries(const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        onItsOwnConnection(name, SERVICE_QUERY_STATUS, [](SC_HANDLE) { ::GetLastError(); });  // exist
        onItsOwnConnection(name, SERVICE_QUERY_CONFIG, queryConfig);                          // display name
        onItsOwnConnection(name, SERVICE_QUERY_STATUS, [](SC_HANDLE service) {                // status
            SERVICE_STATUS status{};
            ::QueryServiceStatus(service, &status);
        });
        onItsOwnConnection(name, SERVICE_QUERY_CONFIG, queryConfig);  // startup type
    }
}

// Every service's name, display name and status in one call.
void enumerateAll() {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    static std::vector<BYTE> buffer(64 * 1024);
    DWORD needed = 0, count = 0, resume = 0;
    while (!::EnumServicesStatusExW(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
                                    buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &count, &resume,
                                    nullptr) &&
           ::GetLastError() == ERROR_MORE_DATA) {
        buffer.resize(buffer.size() + needed);
        resume = 0;
    }
}

double milliseconds(const std::function<void()>& body) {
    const auto start = Clock::now();
    body();
    return millisecondsSince(start);
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

        TrayApp app;
        app.open();
        HWND dialog = app.dialog()->handle();
        prescribedQueries(names);  // warm-up
        enumerateAll();
        // Interleaved, so that a burst of other work on the machine falls on
        // all three alike; the best round of each counts.
        double refresh = 1e300, prescribed = 1e300, floor = 1e300, catalogue = 1e300;
        for (int round = 0; round < rounds; ++round) {
            catalogue = std::min(catalogue, milliseconds([] { SvcSentry::AllServices(); }));
            refresh = std::min(refresh, milliseconds([&] { ::SendMessageW(dialog, WM_COMMAND, IDC_REFRESH, 0); }));
            prescribed = std::min(prescribed, milliseconds([&] { prescribedQueries(names); }));
            floor = std::min(floor, milliseconds(enumerateAll));
        }
        app.trayIcon().removeTrayIcon();
        ::DestroyWindow(dialog);

        std::printf("monitor refresh:      %8.1f ms (%.3f ms per service)\n", refresh, refresh / count);
        std::printf("  of which catalogue:  %8.1f ms (exist and display name: half the prescribed calls)\n", catalogue);
        std::printf("prescribed raw calls: %8.1f ms (%.3f ms per service)\n", prescribed, prescribed / count);
        std::printf("EnumServicesStatusExW: %7.1f ms\n", floor);
        const std::string label = "catalogue refresh, " + std::to_string(count) + " services";
        printResult((label + " / prescribed calls").c_str(), refresh, prescribed, "ms");
        printResult((label + " / EnumServicesStatusExW").c_str(), refresh, floor, "ms");
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
