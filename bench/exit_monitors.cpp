// `svcsentry.exe exit` with two monitors running: from just before the exit
// command is started until both monitors have ended, and until the command
// itself has returned. The baseline is the same command ending two copies of
// the smallest tray program (tray_baseline.exe, which ends on the same
// message): the broadcast and the process ends without the monitor's own
// teardown. Each round starts the programs afresh and lets them settle
// (Wine takes an icon away slowly moments after it came); the best round of
// each counts. Run from the release build.
//
// Usage: bench_exit_monitors [rounds=4]
#include "bench_timing.h"
#include "tray_programs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

struct ExitTimes {
    double returned = -1;  // ms until `exit` returned
    double ended = -1;     // ms until every program had ended
};

double millisecondsSince(const LARGE_INTEGER& begin) {
    LARGE_INTEGER frequency, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return double(now.QuadPart - begin.QuadPart) * 1e3 / double(frequency.QuadPart);
}

ExitTimes exitTwo(const wchar_t* program) {
    UniqueHandle programs[2];
    for (UniqueHandle& started : programs) {
        started.reset(bench::startProgram(bench::programPath(program)));
        if (!started) return {};
    }
    const ULONGLONG deadline = ::GetTickCount64() + 30000;
    for (UniqueHandle& started : programs) {
        while (!bench::trayIconOwner(::GetProcessId(started.get()))) {
            if (::GetTickCount64() > deadline) return {};
            ::Sleep(10);
        }
    }
    ::Sleep(3000);

    ExitTimes times;
    LARGE_INTEGER begin;
    ::QueryPerformanceCounter(&begin);
    UniqueHandle exitCommand(bench::startProgram(bench::programPath(L"svcsentry.exe") + L" exit"));
    // Polled every millisecond, like the icon in start_to_tray.
    while (::GetTickCount64() < deadline + 60000 && (times.returned < 0 || times.ended < 0)) {
        if (times.returned < 0 && ::WaitForSingleObject(exitCommand.get(), 0) == WAIT_OBJECT_0)
            times.returned = millisecondsSince(begin);
        if (times.ended < 0 && ::WaitForSingleObject(programs[0].get(), 0) == WAIT_OBJECT_0 &&
            ::WaitForSingleObject(programs[1].get(), 0) == WAIT_OBJECT_0)
            times.ended = millisecondsSince(begin);
        ::Sleep(1);
    }
    for (UniqueHandle& started : programs) bench::endProgram(started.get());
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 4;
    ExitTimes monitor{1e300, 1e300}, baseline{1e300, 1e300};
    for (int i = 0; i < rounds; ++i) {
        const ExitTimes m = exitTwo(L"svcsentry.exe");
        const ExitTimes b = exitTwo(L"tray_baseline.exe");
        if (m.ended < 0 || b.ended < 0 || m.returned < 0 || b.returned < 0) {
            std::fprintf(stderr, "round %d: a program did not start or end (monitors %.0f ms, baseline %.0f ms)\n",
                         i + 1, m.ended, b.ended);
            return 1;
        }
        std::printf("round %d: monitors ended %.0f ms (exit returned %.0f ms), baseline ended %.0f ms (%.0f ms)\n",
                    i + 1, m.ended, m.returned, b.ended, b.returned);
        monitor.ended = std::min(monitor.ended, m.ended);
        monitor.returned = std::min(monitor.returned, m.returned);
        baseline.ended = std::min(baseline.ended, b.ended);
        baseline.returned = std::min(baseline.returned, b.returned);
    }
    printResult("exit, two monitors ended / two tray baselines", monitor.ended, baseline.ended, "ms");
    printResult("exit, command returned / with two tray baselines", monitor.returned, baseline.returned, "ms");
    return 0;
}
