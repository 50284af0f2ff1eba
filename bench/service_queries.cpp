// The cost of one service query (each opens and closes its own connection to
// the service control manager) against one raw QueryServiceStatus on a handle
// that is already open, for a stopped, a running and a disabled service.
#include "sandbox_kit.h"
#include "bench_timing.h"
#include "diagnostics/exceptions.h"
#include "services/service_query.h"

#include <cstdio>
#include <functional>
#include <vector>

int main() {
    constexpr int kCalls = 50;
    try {
        sandboxkit::ScopedService stopped(sandboxkit::uniqueName(L"qbench"), L"Bench stopped", L"");
        sandboxkit::ScopedService running(sandboxkit::uniqueName(L"qbench"), L"Bench running", L"");
        sandboxkit::ScopedService disabled(sandboxkit::uniqueName(L"qbench"), L"Bench disabled", L"", {},
                                           SERVICE_DISABLED);
        sandboxkit::startAndWait(running.name());

        std::printf("%-12s %10s %8s %8s %8s\n", "service", "raw us", "effStatus", "display", "exist");
        for (const sandboxkit::ScopedService* svc : {&stopped, &running, &disabled}) {
            const std::wstring& name = svc->name();
            SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            SC_HANDLE handle = ::OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
            SERVICE_STATUS status{};
            const double raw = microsecondsPerCall(kCalls, [&] { ::QueryServiceStatus(handle, &status); });
            ::CloseServiceHandle(handle);
            ::CloseServiceHandle(manager);

            const double eff = microsecondsPerCall(kCalls, [&] { service::effStatus(name); });
            const double display = microsecondsPerCall(kCalls, [&] { service::serviceDisplayName(name); });
            const double exist = microsecondsPerCall(kCalls, [&] { service::exist(name); });
            const char* label = svc == &stopped ? "stopped" : svc == &running ? "running" : "disabled";
            std::printf("%-12s %10.1f %7.1fx %7.1fx %7.1fx\n", label, raw, eff / raw, display / raw, exist / raw);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_service_queries: %s\n", error.what());
        return 1;
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"bench_service_queries: %ls\n", error.fullText().c_str());
        return 1;
    }
    return 0;
}
