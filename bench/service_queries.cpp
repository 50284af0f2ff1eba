// Each service query of the monitor (each opens and closes its own
// connection to the service control manager) against the platform calls
// that the query is specified to make, done raw: the connection, the
// service, the query (a configuration query tries 260 bytes first), both
// handles closed. For a stopped, a running and a disabled service: the
// breakdown of the catalogue refresh's figure.
#include "bench_timing.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "sandbox_kit.h"
#include "services/service_query.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

void raw(const std::wstring& name, DWORD access, const std::function<void(SC_HANDLE)>& query) {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), access));
    query(service.get());
}

void status(SC_HANDLE service) {
    SERVICE_STATUS status{};
    ::QueryServiceStatus(service, &status);
}

void config(SC_HANDLE service) {
    std::vector<BYTE> buffer(260);
    DWORD needed = 0;
    while (!::QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                  static_cast<DWORD>(buffer.size()), &needed) &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        buffer.assign(needed, 0);
}

}  // namespace

int main() {
    constexpr int kCalls = 20;
    try {
        sandboxkit::ScopedService stopped(sandboxkit::uniqueName(L"qbench"), L"Bench stopped", L"");
        sandboxkit::ScopedService running(sandboxkit::uniqueName(L"qbench"), L"Bench running", L"");
        sandboxkit::ScopedService disabled(sandboxkit::uniqueName(L"qbench"), L"Bench disabled", L"", {},
                                           SERVICE_DISABLED);
        sandboxkit::startAndWait(running.name());

        for (const sandboxkit::ScopedService* svc : {&stopped, &running, &disabled}) {
            const std::wstring& name = svc->name();
            const std::string label = svc == &stopped ? "stopped" : svc == &running ? "running" : "disabled";
            const double exist = bestMicrosecondsPerCall(kCalls, [&] { service::exist(name); });
            const double rawExist =
                bestMicrosecondsPerCall(kCalls, [&] { raw(name, SERVICE_QUERY_STATUS, [](SC_HANDLE) {}); });
            const double display = bestMicrosecondsPerCall(kCalls, [&] { service::serviceDisplayName(name); });
            const double rawConfig =
                bestMicrosecondsPerCall(kCalls, [&] { raw(name, SERVICE_QUERY_CONFIG, config); });
            // effStatus reads the startup type too unless the service is active.
            const double eff = bestMicrosecondsPerCall(kCalls, [&] { service::effStatus(name); });
            const double rawEff = bestMicrosecondsPerCall(kCalls, [&] {
                raw(name, SERVICE_QUERY_STATUS, status);
                if (svc != &running) raw(name, SERVICE_QUERY_CONFIG, config);
            });
            printResult(("service::exist, " + label + " / raw").c_str(), exist, rawExist, "us");
            printResult(("service::serviceDisplayName, " + label + " / raw").c_str(), display, rawConfig, "us");
            printResult(("service::effStatus, " + label + " / raw").c_str(), eff, rawEff, "us");
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
