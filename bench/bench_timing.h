// Timing shared by the benchmark programs.
#pragma once

#include "diagnostics/win32.h"

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
