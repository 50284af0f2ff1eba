// The monitor left alone with its dialog hidden, against the smallest
// program that does the same (tray_baseline.exe: a tray icon, a hidden
// window with a tree view, a 100 ms timer), both running over the same
// period (60 s unless given): working set at its end and processor time
// used during it. Measured three times: with the package registry set
// aside, so that the monitor's catalogue is empty and it watches quarnsrv
// alone; with the sandbox's services as laid out (quarnsrv running), the
// monitor watching quarnsrv and every service of its catalogue; and the same
// with quarnsrv stopped before the programs start (it is started again
// afterwards). Run from the release build.
//
// Usage: bench_idle_monitor [seconds=60]
#include "bench_timing.h"
#include "tray_programs.h"

#include <cstdio>
#include <cstdlib>

namespace {

const wchar_t kManagement[] = L"quarnsrv";
const wchar_t kConfigKey[] = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
const wchar_t kPackagesAside[] = L"Software\\QuarnBenchPackagesAside";

// The package registry (32-bit view) moved under HKEY_CURRENT_USER for the
// object's life, and put back at its end.
class PackagesAside {
public:
    PackagesAside() {
        UniqueRegKey config;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, config.put()) !=
            ERROR_SUCCESS)
            return;
        UniqueRegKey packages;
        if (::RegOpenKeyExW(config.get(), L"Packages", 0, KEY_READ, packages.put()) != ERROR_SUCCESS) return;
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kPackagesAside);
        UniqueRegKey aside;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, kPackagesAside, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, aside.put(),
                              nullptr) != ERROR_SUCCESS ||
            ::RegCopyTreeW(packages.get(), nullptr, aside.get()) != ERROR_SUCCESS)
            return;
        packages.reset();
        moved_ = ::RegDeleteTreeW(config.get(), L"Packages") == ERROR_SUCCESS;
    }
    ~PackagesAside() {
        if (!moved_) return;
        UniqueRegKey aside, packages;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kPackagesAside, 0, KEY_READ, aside.put()) != ERROR_SUCCESS) return;
        const std::wstring path = std::wstring(kConfigKey) + L"\\Packages";
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                              nullptr, packages.put(), nullptr) == ERROR_SUCCESS &&
            ::RegCopyTreeW(aside.get(), nullptr, packages.get()) == ERROR_SUCCESS) {
            aside.reset();
            ::RegDeleteTreeW(HKEY_CURRENT_USER, kPackagesAside);
        }
    }
    PackagesAside(const PackagesAside&) = delete;
    PackagesAside& operator=(const PackagesAside&) = delete;
    bool moved() const { return moved_; }

private:
    bool moved_ = false;
};

struct IdleFigures {
    double monitorSeconds = 0, baselineSeconds = 0, monitorMegabytes = 0, baselineMegabytes = 0;
};

bool measure(double period, IdleFigures& figures) {
    UniqueHandle monitor(bench::startProgram(bench::programPath(L"svcsentry.exe")));
    UniqueHandle baseline(bench::startProgram(bench::programPath(L"tray_baseline.exe")));
    if (!monitor || !baseline) {
        std::fprintf(stderr, "cannot start svcsentry.exe or tray_baseline.exe (%lu)\n", ::GetLastError());
        return false;
    }
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while ((!bench::trayIconOwner(::GetProcessId(monitor.get())) ||
            !bench::trayIconOwner(::GetProcessId(baseline.get()))) &&
           ::GetTickCount64() < deadline)
        ::Sleep(50);
    // The start-up (first refresh, icon, registrations) settles before the
    // measurement.
    ::Sleep(2000);
    const double monitorBefore = bench::processorSeconds(monitor.get());
    const double baselineBefore = bench::processorSeconds(baseline.get());
    const bool ended = ::WaitForSingleObject(monitor.get(), static_cast<DWORD>(period * 1000)) == WAIT_OBJECT_0;
    figures.monitorSeconds = bench::processorSeconds(monitor.get()) - monitorBefore;
    figures.baselineSeconds = bench::processorSeconds(baseline.get()) - baselineBefore;
    figures.monitorMegabytes = bench::workingSetMegabytes(monitor.get());
    figures.baselineMegabytes = bench::workingSetMegabytes(baseline.get());
    bench::endProgram(monitor.get());
    bench::endProgram(baseline.get());
    if (ended) {
        std::fprintf(stderr, "the monitor ended during the measurement\n");
        return false;
    }
    return true;
}

DWORD stateOf(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool waitForState(SC_HANDLE service, DWORD state) {
    const ULONGLONG end = ::GetTickCount64() + 30000;
    while (stateOf(service) != state) {
        if (::GetTickCount64() >= end) return false;
        ::Sleep(50);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const double period = argc > 1 ? std::atof(argv[1]) : 60.0;
    IdleFigures alone;
    {
        PackagesAside aside;
        if (!aside.moved()) {
            std::fprintf(stderr, "cannot set the package registry aside\n");
            return 1;
        }
        if (!measure(period, alone)) return 1;
    }
    std::printf("idle period %.0f s, quarnsrv watched alone: monitor %.3f s processor, %.1f MB; baseline %.3f s, "
                "%.1f MB\n",
                period, alone.monitorSeconds, alone.monitorMegabytes, alone.baselineSeconds, alone.baselineMegabytes);
    IdleFigures running;
    if (!measure(period, running)) return 1;
    std::printf("idle period %.0f s, quarnsrv as laid out: monitor %.3f s processor, %.1f MB; baseline %.3f s, "
                "%.1f MB\n",
                period, running.monitorSeconds, running.monitorMegabytes, running.baselineSeconds,
                running.baselineMegabytes);
    printResult("idle monitor, working set / tray baseline", running.monitorMegabytes, running.baselineMegabytes,
                "MB");
    printResult("idle monitor, processor time / tray baseline", running.monitorSeconds, running.baselineSeconds,
                "s");
    printResult("idle monitor, working set, every service / quarnsrv alone", running.monitorMegabytes,
                alone.monitorMegabytes, "MB");

    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle management(
        ::OpenServiceW(manager.get(), kManagement, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!management) {
        std::fprintf(stderr, "cannot open quarnsrv (%lu)\n", ::GetLastError());
        return 1;
    }
    const bool wasRunning = stateOf(management.get()) == SERVICE_RUNNING;
    SERVICE_STATUS status{};
    if (wasRunning && (!::ControlService(management.get(), SERVICE_CONTROL_STOP, &status) ||
                       !waitForState(management.get(), SERVICE_STOPPED))) {
        std::fprintf(stderr, "cannot stop quarnsrv (%lu)\n", ::GetLastError());
        return 1;
    }
    IdleFigures stopped;
    const bool measured = measure(period, stopped);
    if (wasRunning && ::StartServiceW(management.get(), 0, nullptr)) waitForState(management.get(), SERVICE_RUNNING);
    if (!measured) return 1;
    std::printf("idle period %.0f s, quarnsrv stopped: monitor %.3f s processor, %.1f MB; baseline %.3f s, %.1f MB\n",
                period, stopped.monitorSeconds, stopped.monitorMegabytes, stopped.baselineSeconds,
                stopped.baselineMegabytes);
    printResult("idle monitor, quarnsrv stopped, working set / tray baseline", stopped.monitorMegabytes,
                stopped.baselineMegabytes, "MB");
    printResult("idle monitor, quarnsrv stopped, processor time / tray baseline", stopped.monitorSeconds,
                stopped.baselineSeconds, "s");
    return 0;
}
