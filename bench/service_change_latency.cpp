// From ControlService(SERVICE_CONTROL_STOP) on the sandbox's "quarnsrv" to
// the monitor's tray icon leaving Started, with the monitor's own objects
// and message loop in this process: live (the service manager's change
// notifications) against the polling design (the dialog's 10-second timer
// alone, notifications refused through the watcher's seam). After each
// stop the service is started again and the icon brought back to Started.
// The polling design sees a stop at its next 10.1-second tick; its stops are
// spread evenly over the tick's period (the detection of the previous stop
// marks a tick), so its median is that of an administrator's random moment.
// The median of each counts. Run from the release build.
//
// Usage: bench_service_change_latency [live stops=20] [polling stops=10]
#include "app/message_loop.h"
#include "app/tray_app.h"
#include "bench_timing.h"
#include "services/service_status_watcher.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

const wchar_t kManagement[] = L"quarnsrv";
// 101 ticks of the dialog's 100 ms timer.
constexpr double kPollingPeriodMs = 10100;

DWORD WINAPI refuseRegistration(SC_HANDLE, DWORD, PSERVICE_NOTIFYW) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}

DWORD currentState(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool waitForState(SC_HANDLE service, DWORD state, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (currentState(service) != state) {
        if (::GetTickCount64() >= end) return false;
        ::Sleep(20);
    }
    return true;
}

double now() {
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) * 1e3 / double(frequency.QuadPart);
}

// Milliseconds from each stop to the icon's change; empty on a failure.
std::vector<double> measure(int stops, bool live) {
    std::vector<double> latencies;
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), kManagement, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        std::fprintf(stderr, "cannot open quarnsrv (%lu)\n", ::GetLastError());
        return {};
    }
    const auto previous =
        live ? nullptr : ServiceStatusWatcher::setRegisterFunction(&refuseRegistration);
    {
        TrayApp app;
        app.open();
        const HWND dialog = app.dialog()->handle();
        TrayIcon& icon = app.trayIcon();
        double lastChange = now();
        for (int i = 0; i < stops; ++i) {
            if (currentState(service.get()) != SERVICE_RUNNING) {
                ::StartServiceW(service.get(), 0, nullptr);
                if (!waitForState(service.get(), SERVICE_RUNNING, 20000)) {
                    std::fprintf(stderr, "quarnsrv does not start again\n");
                    break;
                }
            }
            icon.refreshTrayIcon();
            // Let the start's own notifications pass before the next stop.
            runMessageLoopUntil(dialog, [] { return false; }, 500);
            if (icon.lastState() != TrayStarted) {
                std::fprintf(stderr, "the icon does not show Started\n");
                break;
            }
            if (!live) {
                double at = lastChange + kPollingPeriodMs * (i + 0.5) / stops;
                while (at < now()) at += kPollingPeriodMs;
                runMessageLoopUntil(dialog, [] { return false; }, static_cast<DWORD>(at - now()));
            }
            SERVICE_STATUS status{};
            const double begin = now();
            if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
                std::fprintf(stderr, "ControlService(STOP) failed (%lu)\n", ::GetLastError());
                break;
            }
            if (!runMessageLoopUntil(dialog, [&] { return icon.lastState() != TrayStarted; }, 30000)) {
                std::fprintf(stderr, "the icon did not change within 30 s\n");
                break;
            }
            lastChange = now();
            latencies.push_back(lastChange - begin);
            std::printf("%s stop %d: %.0f ms\n", live ? "live" : "polling", i + 1, latencies.back());
            std::fflush(stdout);
            waitForState(service.get(), SERVICE_STOPPED, 20000);
        }
        icon.removeTrayIcon();
        ::DestroyWindow(dialog);
    }
    if (!live) ServiceStatusWatcher::setRegisterFunction(previous);
    if (currentState(service.get()) != SERVICE_RUNNING) ::StartServiceW(service.get(), 0, nullptr);
    if (static_cast<int>(latencies.size()) != stops) return {};
    return latencies;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const int liveStops = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int pollingStops = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const std::vector<double> live = measure(liveStops, true);
    const std::vector<double> polling = live.empty() ? live : measure(pollingStops, false);
    if (live.empty() || polling.empty()) return 1;
    std::printf("live: median of %d stops %.0f ms (max %.0f); polling: median of %d stops %.0f ms (max %.0f)\n",
                liveStops, median(live), *std::max_element(live.begin(), live.end()), pollingStops,
                median(polling), *std::max_element(polling.begin(), polling.end()));
    printResult("stop of quarnsrv to tray icon, notifications / polling", median(live), median(polling), "ms");
    return 0;
}
