// The watcher against real services of the sandbox's service manager (Wine's
// under test): which transitions arrive, how a deletion is found, and that a
// released registration stays silent.
#include "services/service_status_watcher.h"

#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

using sandboxkit::ScopedService;

namespace {

ScopedService testService(const std::wstring& args = L"") {
    const std::wstring name = sandboxkit::uniqueName(L"qsw");
    return ScopedService(name, L"Watched " + name, args);
}

// Waits alertably (the callbacks run only so) until `done` or the time-out.
template <class Condition>
bool waitAlertably(Condition done, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!done()) {
        if (::GetTickCount64() >= end) return false;
        ::SleepEx(20, TRUE);
    }
    return true;
}

struct Collected {
    std::vector<ServiceChange> changes;
    int wakes = 0;
    ServiceStatusWatcher watcher{[this] { ++wakes; }};
    void take() {
        for (ServiceChange& change : watcher.takeChanges()) changes.push_back(std::move(change));
    }
    bool sawState(DWORD state) {
        take();
        for (const ServiceChange& change : changes)
            if (change.status.dwCurrentState == state) return true;
        return false;
    }
};

TEST(ServiceStatusWatcher, StartAndStopFromOutsideArriveInOrder) {
    ScopedService service = testService(L"--start-delay=300 --stop-delay=300");
    Collected seen;
    SERVICE_STATUS_PROCESS current{};
    ASSERT_EQ(seen.watcher.watch(service.name(), &current), 0u);
    EXPECT_EQ(current.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(seen.watcher.watching(service.name()));
    // The state it was registered in is not reported.
    waitAlertably([] { return false; }, 300);
    EXPECT_FALSE(seen.sawState(SERVICE_STOPPED));

    ASSERT_EQ(sandboxkit::startService(service.name()), 0u);
    ASSERT_TRUE(waitAlertably([&] { return seen.sawState(SERVICE_RUNNING); }, 5000));
    ASSERT_EQ(sandboxkit::controlService(service.name(), SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(waitAlertably([&] { return seen.sawState(SERVICE_STOPPED); }, 5000));

    std::vector<DWORD> states;
    for (const ServiceChange& change : seen.changes) {
        EXPECT_EQ(change.name, service.name());
        EXPECT_FALSE(change.own);
        EXPECT_FALSE(change.deleted);
        states.push_back(change.status.dwCurrentState);
    }
    // With the pending states held for 300 ms every transition is seen.
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                          SERVICE_STOPPED}));
    EXPECT_GE(seen.wakes, 4);
}

TEST(ServiceStatusWatcher, ADeletedServiceIsFoundAndReleased) {
    const std::wstring name = sandboxkit::uniqueName(L"qsw");
    sandboxkit::createService(name, L"Deleted " + name, L"");
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(name), 0u);
    ASSERT_TRUE(sandboxkit::deleteService(name));
    // Kept open, the handle holds the deleted service: its name is taken.
    EXPECT_THROW(sandboxkit::createService(name, L"Deleted " + name, L""), std::runtime_error);
    waitAlertably([] { return false; }, 500);
    seen.watcher.checkDeletions(false);
    seen.take();
    ASSERT_EQ(seen.changes.size(), 1u);
    EXPECT_TRUE(seen.changes[0].deleted);
    EXPECT_FALSE(seen.watcher.watching(name));
    // Released, the name is free again.
    EXPECT_NO_THROW(sandboxkit::createService(name, L"Deleted " + name, L""));
    sandboxkit::deleteService(name);
}

TEST(ServiceStatusWatcher, AReleasedRegistrationStaysSilent) {
    ScopedService service = testService();
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(service.name()), 0u);
    seen.watcher.unwatch(service.name());
    EXPECT_FALSE(seen.watcher.watching(service.name()));
    sandboxkit::startAndWait(service.name());
    waitAlertably([] { return false; }, 1000);
    seen.take();
    EXPECT_TRUE(seen.changes.empty());
    EXPECT_EQ(seen.wakes, 0);
}

TEST(ServiceStatusWatcher, ChangesOfAnOwnScopeAreMarkedAndRegisteredAfresh) {
    ScopedService service = testService();
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(service.name()), 0u);
    seen.watcher.beginOwnChanges();
    // Started without an alertable wait: the callback waits in the queue.
    sandboxkit::startAndWait(service.name());
    seen.watcher.endOwnChanges();
    seen.take();
    ASSERT_FALSE(seen.changes.empty());
    for (const ServiceChange& change : seen.changes) EXPECT_TRUE(change.own);
    EXPECT_EQ(seen.changes.back().status.dwCurrentState, DWORD(SERVICE_RUNNING));
    seen.changes.clear();

    ASSERT_EQ(sandboxkit::controlService(service.name(), SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(waitAlertably([&] { return seen.sawState(SERVICE_STOPPED); }, 5000));
    for (const ServiceChange& change : seen.changes) {
        EXPECT_FALSE(change.own);
        EXPECT_NE(change.status.dwCurrentState, DWORD(SERVICE_RUNNING));
    }
}

DWORD WINAPI refuse(SC_HANDLE, DWORD, PSERVICE_NOTIFYW) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}

TEST(ServiceStatusWatcher, RefusedOrMissingIsAnErrorAndKeepsNothing) {
    ScopedService service = testService();
    Collected seen;
    EXPECT_EQ(seen.watcher.watch(sandboxkit::uniqueName(L"qswmissing")), DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    const auto previous = ServiceStatusWatcher::setRegisterFunction(&refuse);
    EXPECT_EQ(seen.watcher.watch(service.name()), DWORD(ERROR_CALL_NOT_IMPLEMENTED));
    ServiceStatusWatcher::setRegisterFunction(previous);
    EXPECT_FALSE(seen.watcher.watching(service.name()));
    EXPECT_TRUE(seen.watcher.watched().empty());
}

}  // namespace
