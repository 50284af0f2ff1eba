#include "services/wait_policy.h"

#include <gtest/gtest.h>

#include <vector>

using service_detail::WaitClock;

namespace {

// Time passes only when the engine sleeps.
class SimulatedClock final : public WaitClock {
public:
    explicit SimulatedClock(DWORD start = 1000) : now_(start), start_(start) {}
    DWORD tick() override { return now_; }
    void sleep(DWORD ms) override {
        sleeps.push_back(ms);
        now_ += ms;
    }
    DWORD elapsed() const { return now_ - start_; }

    std::vector<DWORD> sleeps;

private:
    DWORD now_;
    DWORD start_;
};

SERVICE_STATUS pending(DWORD waitHint, DWORD checkPoint = 1) {
    SERVICE_STATUS status{};
    status.dwCurrentState = SERVICE_START_PENDING;
    status.dwWaitHint = waitHint;
    status.dwCheckPoint = checkPoint;
    return status;
}

// A service that stays START_PENDING with the same check point; returns the
// wait's result.
DWORD waitOnStuckService(SimulatedClock& clock, DWORD waitHint) {
    SERVICE_STATUS status = pending(waitHint);
    return service_detail::waitWhilePending(clock, status, SERVICE_START_PENDING,
                                            [](SERVICE_STATUS&) { return DWORD(0); });
}

bool allSleepsAre(const SimulatedClock& clock, DWORD ms) {
    for (DWORD sleep : clock.sleeps)
        if (sleep != ms) return false;
    return !clock.sleeps.empty();
}

TEST(WaitPolicy, PollIntervalIsTheTenthOfTheHintWithinOneToTenSeconds) {
    EXPECT_EQ(service_detail::pollInterval(0), 1000u);
    EXPECT_EQ(service_detail::pollInterval(9999), 1000u);
    EXPECT_EQ(service_detail::pollInterval(15000), 1500u);
    EXPECT_EQ(service_detail::pollInterval(200000), 10000u);
    EXPECT_EQ(service_detail::pollInterval(0xFFFFFFFF), 10000u);
}

TEST(WaitPolicy, TimeOutsWithoutCheckPointProgress) {
    // Wait hint 0: polled every second, given up after 300 s.
    SimulatedClock noHint;
    EXPECT_EQ(waitOnStuckService(noHint, 0), DWORD(ERROR_TIMEOUT));
    EXPECT_TRUE(allSleepsAre(noHint, 1000));
    EXPECT_EQ(noHint.elapsed(), 301000u);

    // 200000 ms: every ten seconds, given up after 500 s.
    SimulatedClock longHint;
    EXPECT_EQ(waitOnStuckService(longHint, 200000), DWORD(ERROR_TIMEOUT));
    EXPECT_TRUE(allSleepsAre(longHint, 10000));
    EXPECT_EQ(longHint.elapsed(), 510000u);

    // 900000 ms: capped at 600 s.
    SimulatedClock hugeHint;
    EXPECT_EQ(waitOnStuckService(hugeHint, 900000), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(hugeHint.elapsed(), 610000u);
}

TEST(WaitPolicy, WaitHintNearTheTopOfTheRangeDoesNotWrapIntoAShortTimeOut) {
    SimulatedClock clock;
    EXPECT_EQ(waitOnStuckService(clock, 0xFFFFFFF0), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(clock.elapsed(), 610000u);
}

TEST(WaitPolicy, TickCounterWrapDoesNotEndTheWaitEarly) {
    SimulatedClock clock(0xFFFFFFFF - 5000);
    EXPECT_EQ(waitOnStuckService(clock, 0), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(clock.elapsed(), 301000u);
}

TEST(WaitPolicy, CheckPointProgressRestartsTheClock) {
    SimulatedClock clock;
    SERVICE_STATUS status = pending(0);
    // The check point moves once, 250 s in; the wait then runs another 300 s.
    const DWORD result = service_detail::waitWhilePending(clock, status, SERVICE_START_PENDING,
                                                          [&](SERVICE_STATUS& current) {
                                                              if (clock.elapsed() == 250000) ++current.dwCheckPoint;
                                                              return DWORD(0);
                                                          });
    EXPECT_EQ(result, DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(clock.elapsed(), 551000u);
}

TEST(WaitPolicy, EndlessCheckPointProgressEndsAfterTheLongestPendingPhase) {
    SimulatedClock clock;
    SERVICE_STATUS status = pending(0);
    const DWORD result = service_detail::waitWhilePending(clock, status, SERVICE_START_PENDING,
                                                          [&](SERVICE_STATUS& current) {
                                                              ++current.dwCheckPoint;
                                                              return DWORD(0);
                                                          });
    EXPECT_EQ(result, DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(clock.elapsed(), service_detail::kLongestPendingPhase + 1000);
}

TEST(WaitPolicy, PendingWaitEndsOnStateChangeOrQueryError) {
    SimulatedClock clock;
    SERVICE_STATUS status = pending(3000);
    int polls = 0;
    EXPECT_EQ(service_detail::waitWhilePending(clock, status, SERVICE_START_PENDING,
                                               [&](SERVICE_STATUS& current) {
                                                   if (++polls == 3) current.dwCurrentState = SERVICE_STOPPED;
                                                   return DWORD(0);
                                               }),
              0u);
    EXPECT_EQ(polls, 3);

    SERVICE_STATUS failing = pending(3000);
    EXPECT_EQ(service_detail::waitWhilePending(clock, failing, SERVICE_START_PENDING,
                                               [](SERVICE_STATUS&) { return DWORD(ERROR_INVALID_HANDLE); }),
              DWORD(ERROR_INVALID_HANDLE));

    // Not pending at all: no sleep, no query.
    SimulatedClock idle;
    SERVICE_STATUS running = pending(3000);
    running.dwCurrentState = SERVICE_RUNNING;
    EXPECT_EQ(service_detail::waitWhilePending(idle, running, SERVICE_START_PENDING,
                                               [](SERVICE_STATUS&) { return DWORD(ERROR_INVALID_HANDLE); }),
              0u);
    EXPECT_TRUE(idle.sleeps.empty());
}

TEST(WaitPolicy, StateChangeWaitPollsSixtyTimesOneSecondApart) {
    SimulatedClock clock;
    SERVICE_STATUS status{};
    status.dwCurrentState = SERVICE_RUNNING;
    int polls = 0;
    service_detail::waitForStateChange(clock, status, SERVICE_RUNNING, [&](SERVICE_STATUS&) { ++polls; });
    EXPECT_EQ(polls, 60);
    EXPECT_EQ(clock.sleeps.size(), 60u);
    EXPECT_TRUE(allSleepsAre(clock, 1000));

    SimulatedClock quick;
    polls = 0;
    service_detail::waitForStateChange(quick, status, SERVICE_RUNNING, [&](SERVICE_STATUS& current) {
        if (++polls == 3) current.dwCurrentState = SERVICE_STOP_PENDING;
    });
    EXPECT_EQ(polls, 3);
    EXPECT_EQ(quick.sleeps.size(), 2u);
}

}  // namespace
