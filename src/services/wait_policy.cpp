#include "services/wait_policy.h"

#include "threading/sync_object.h"

#include <algorithm>

namespace service_detail {
namespace {

constexpr DWORD kMinPollInterval = 1000;
constexpr DWORD kMaxPollInterval = 10000;
constexpr uint64_t kTimeoutBeyondHint = 300000;
constexpr uint64_t kLongestTimeout = 600000;

class SystemWaitClock final : public WaitClock {
public:
    DWORD tick() override { return ::GetTickCount(); }
    void sleep(DWORD ms) override { VSyncObject::sleep(ms); }
};

}  // namespace

WaitClock& systemWaitClock() {
    static SystemWaitClock clock;
    return clock;
}

DWORD pollInterval(DWORD waitHint) { return std::clamp<DWORD>(waitHint / 10, kMinPollInterval, kMaxPollInterval); }

uint64_t pendingTimeout(DWORD waitHint) {
    // In 64 bits: a wait hint near 2^32 must not wrap into a short time-out.
    return std::min<uint64_t>(uint64_t(waitHint) + kTimeoutBeyondHint, kLongestTimeout);
}

PendingWait::PendingWait(WaitClock& clock, const SERVICE_STATUS& status)
    : clock_(clock), begun_(clock.tick()), started_(begun_), lastCheckPoint_(status.dwCheckPoint) {}

bool PendingWait::timedOut(const SERVICE_STATUS& status) {
    if (DWORD(clock_.tick() - begun_) > kLongestPendingPhase) return true;
    if (status.dwCheckPoint > lastCheckPoint_) {
        started_ = clock_.tick();
        lastCheckPoint_ = status.dwCheckPoint;
        return false;
    }
    const DWORD elapsed = clock_.tick() - started_;
    return elapsed > pendingTimeout(status.dwWaitHint);
}

}  // namespace service_detail
