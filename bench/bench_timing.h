// Timing and the result line shared by the benchmark programs.
#pragma once

#include "diagnostics/win32.h"

#include <cstdio>
#include <functional>

// The mean wall-clock cost of `body` over `calls` calls, in microseconds.
inline double microsecondsPerCall(int calls, const std::function<void()>& body) {
    LARGE_INTEGER frequency, begin, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    for (int i = 0; i < calls; ++i) body();
    ::QueryPerformanceCounter(&end);
    return double(end.QuadPart - begin.QuadPart) * 1e6 / double(frequency.QuadPart) / calls;
}

// The lower of two measurements of the same body: the machine is shared, and
// the lower figure is the one less disturbed by other work.
inline double bestMicrosecondsPerCall(int calls, const std::function<void()>& body) {
    const double first = microsecondsPerCall(calls, body);
    const double second = microsecondsPerCall(calls, body);
    return first < second ? first : second;
}

// One line of scripts/bench's table: "result|name|project|baseline|ratio",
// the figures with their unit. The ratio is project / baseline.
// A baseline of 0 (below the clock's resolution) gives the ratio "-".
inline void printResult(const char* name, double project, double baseline, const char* unit) {
    char ratio[32] = "-";
    if (baseline > 0) std::snprintf(ratio, sizeof(ratio), "%.2f", project / baseline);
    std::printf("result|%s|%.3g %s|%.3g %s|%s\n", name, project, unit, baseline, unit, ratio);
    std::fflush(stdout);
}
