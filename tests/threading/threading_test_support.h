// Helpers shared by the threading tests.
#pragma once

#include "diagnostics/handles.h"

#include <atomic>

namespace threading_test {

// Counts its own destruction, to prove that a cancelled thread's stack was
// unwound.
struct DestructionProbe {
    explicit DestructionProbe(std::atomic<int>& counter) : counter(counter) {}
    ~DestructionProbe() { ++counter; }
    std::atomic<int>& counter;
};

// Waits (bounded) for a thread to end; its exit code, or -1 when it did not
// end in time (it is then terminated).
inline long joinThread(const UniqueHandle& thread, DWORD timeoutMs = 10000) {
    if (::WaitForSingleObject(thread.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateThread(thread.get(), 99);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeThread(thread.get(), &code);
    return static_cast<long>(code);
}

inline UniqueHandle createEvent() {
    return UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

}  // namespace threading_test
