// How long the service engine waits for a service to settle, and how often
// it looks. The clock and the sleep are injectable so the arithmetic can be
// checked in simulated milliseconds; the engine itself uses the system pair.
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>

namespace service_detail {

class WaitClock {
public:
    virtual ~WaitClock() = default;
    // Milliseconds from a counter that wraps at 2^32, like GetTickCount.
    virtual DWORD tick() = 0;
    // Sleeps `ms` milliseconds; the system clock's sleep is an asynchronous
    // cancellation point, so cancelling the thread ends it at once.
    virtual void sleep(DWORD ms) = 0;
};

// GetTickCount and VSyncObject::sleep.
WaitClock& systemWaitClock();

// The wait hint divided by 10, raised to 1000 ms and lowered to 10000 ms.
DWORD pollInterval(DWORD waitHint);

// A pending phase without check-point progress ends after this long: the
// wait hint plus 300000 ms, at most 600000 ms.
uint64_t pendingTimeout(DWORD waitHint);

// A pending phase ends after this long even while its check point rises: a
// service that reports progress for ever must not hold its caller for ever.
constexpr uint64_t kLongestPendingPhase = 1800000;

// Tracks one pending phase: the clock starts at construction, a check point
// larger than the last one seen restarts it; kLongestPendingPhase after the
// start the phase has run out of time whatever the check point did.
class PendingWait {
public:
    PendingWait(WaitClock& clock, const SERVICE_STATUS& status);

    // Takes a freshly queried status into account and says whether the phase
    // has run out of time (unsigned tick difference, so a wrapping counter is
    // harmless).
    bool timedOut(const SERVICE_STATUS& status);

private:
    WaitClock& clock_;
    DWORD begun_;
    DWORD started_;
    DWORD lastCheckPoint_;
};

// While `status` is in `pendingState`: sleeps the poll interval of its wait
// hint and refreshes it with `query(status)`, which returns 0 or an error
// code (or raises). Returns 0 once the state differs, the query's non-zero
// code, or ERROR_TIMEOUT.
template <class Query>
DWORD waitWhilePending(WaitClock& clock, SERVICE_STATUS& status, DWORD pendingState, Query&& query) {
    PendingWait phase(clock, status);
    while (status.dwCurrentState == pendingState) {
        clock.sleep(pollInterval(status.dwWaitHint));
        if (const DWORD error = query(status)) return error;
        if (status.dwCurrentState != pendingState) break;
        if (phase.timedOut(status)) return ERROR_TIMEOUT;
    }
    return 0;
}

// The number of polls, 1000 ms apart, a control request is given to move
// the service out of its initial state.
constexpr int kStateChangePolls = 60;
constexpr DWORD kStateChangeInterval = 1000;

// Refreshes `status` with `query(status)` (which raises on failure) until its
// state differs from `initialState`, at most kStateChangePolls times,
// sleeping kStateChangeInterval after each poll that saw no change.
template <class Query>
void waitForStateChange(WaitClock& clock, SERVICE_STATUS& status, DWORD initialState, Query&& query) {
    for (int poll = 0; poll < kStateChangePolls; ++poll) {
        query(status);
        if (status.dwCurrentState != initialState) return;
        clock.sleep(kStateChangeInterval);
    }
}

}  // namespace service_detail
