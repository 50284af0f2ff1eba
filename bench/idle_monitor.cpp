// The monitor left alone with its dialog hidden, against the smallest
// program that does the same (tray_baseline.exe: a tray icon, a hidden
// window with a tree view, a 100 ms timer), both running over the same
// period (60 s unless given): working set at its end and processor time
// used during it. Run from the release build.
//
// Usage: bench_idle_monitor [seconds=60]
#include "bench_timing.h"
#include "tray_programs.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const double period = argc > 1 ? std::atof(argv[1]) : 60.0;
    UniqueHandle monitor(bench::startProgram(bench::programPath(L"svcsentry.exe")));
    UniqueHandle baseline(bench::startProgram(bench::programPath(L"tray_baseline.exe")));
    if (!monitor || !baseline) {
        std::fprintf(stderr, "cannot start svcsentry.exe or tray_baseline.exe (%lu)\n", ::GetLastError());
        return 1;
    }
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    while ((!bench::trayIconOwner(::GetProcessId(monitor.get())) ||
            !bench::trayIconOwner(::GetProcessId(baseline.get()))) &&
           ::GetTickCount64() < deadline)
        ::Sleep(50);
    // The start-up (first refresh, icon) settles before the measurement.
    ::Sleep(2000);
    const double monitorBefore = bench::processorSeconds(monitor.get());
    const double baselineBefore = bench::processorSeconds(baseline.get());
    const bool ended = ::WaitForSingleObject(monitor.get(), static_cast<DWORD>(period * 1000)) == WAIT_OBJECT_0;
    const double monitorUsed = bench::processorSeconds(monitor.get()) - monitorBefore;
    const double baselineUsed = bench::processorSeconds(baseline.get()) - baselineBefore;
    const double monitorSet = bench::workingSetMegabytes(monitor.get());
    const double baselineSet = bench::workingSetMegabytes(baseline.get());
    bench::endProgram(monitor.get());
    bench::endProgram(baseline.get());
    if (ended) {
        std::fprintf(stderr, "the monitor ended during the measurement\n");
        return 1;
    }
    std::printf("idle period %.0f s: monitor %.3f s processor, %.1f MB; baseline %.3f s, %.1f MB\n", period,
                monitorUsed, monitorSet, baselineUsed, baselineSet);
    printResult("idle monitor, working set / tray baseline", monitorSet, baselineSet, "MB");
    printResult("idle monitor, processor time / tray baseline", monitorUsed, baselineUsed, "s");
    return 0;
}
