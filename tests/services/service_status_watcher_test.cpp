// The watcher against real services of the sandbox's service manager (Wine's
// under test): which transitions arrive, how a deletion is found, and that a
// released registration stays silent. What Wine's manager never does (report
// a deletion or a lagging client, refuse a registration for a service being
// deleted, let a service-manager call run another notification) comes
// through the registration seam, on the same real services: those tests
// stand in for Windows.
#include "services/service_status_watcher.h"

#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <vector>

using sandboxkit::ScopedService;

namespace {

ScopedService testService(const std::wstring& args = L"") {
    const std::wstring name = sandboxkit::uniqueName(L"qsw");
    return ScopedService(name, L"Watched " + name, args);
}

template <class Condition>
bool waitUntil(Condition done, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!done()) {
        if (::GetTickCount64() >= end) return false;
        ::Sleep(100);
    }
    return true;
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
    // Wine tells nobody: the watcher asks.
    seen.watcher.probeDeletions();
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
    seen.watcher.beginOwnChange(service.name());
    EXPECT_TRUE(seen.watcher.ownChangesOpen());
    // Started without an alertable wait: the callback waits in the queue.
    sandboxkit::startAndWait(service.name());
    seen.watcher.endOwnChange(service.name());
    EXPECT_FALSE(seen.watcher.ownChangesOpen());
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

TEST(ServiceStatusWatcher, AnOwnScopeCoversOnlyItsService) {
    ScopedService mine = testService();
    ScopedService other = testService();
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(mine.name()), 0u);
    ASSERT_EQ(seen.watcher.watch(other.name()), 0u);
    seen.watcher.beginOwnChange(mine.name());
    sandboxkit::startAndWait(mine.name());
    sandboxkit::startAndWait(other.name());
    seen.watcher.endOwnChange(mine.name());
    ASSERT_TRUE(waitAlertably([&] { return seen.sawState(SERVICE_RUNNING) && seen.changes.size() >= 2; }, 5000));
    waitAlertably([] { return false; }, 300);
    seen.take();
    bool otherSeen = false;
    for (const ServiceChange& change : seen.changes) {
        EXPECT_EQ(change.own, change.name == mine.name()) << "state " << change.status.dwCurrentState;
        otherSeen = otherSeen || change.name == other.name();
    }
    EXPECT_TRUE(otherSeen);
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

// The registration seam standing in for Windows' service manager, on real
// services: each registration is recorded and answered with the next queued
// result (success when none is queued); `onRegister` runs inside the call,
// as the manager's RPC may run this thread's queued callbacks there.
struct SeamManager {
    static inline std::vector<PSERVICE_NOTIFYW> buffers;
    static inline std::vector<DWORD> results;
    static inline int calls = 0;
    static inline std::function<void(int call, PSERVICE_NOTIFYW buffer)> onRegister;

    static DWORD WINAPI registerCall(SC_HANDLE, DWORD, PSERVICE_NOTIFYW buffer) {
        const int call = ++calls;
        DWORD result = 0;
        if (!results.empty()) {
            result = results.front();
            results.erase(results.begin());
        }
        if (result == 0) buffers.push_back(buffer);
        if (onRegister) onRegister(call, buffer);
        return result;
    }
};

class SeamScope {
public:
    explicit SeamScope(std::vector<DWORD> results = {}) {
        SeamManager::buffers.clear();
        SeamManager::results = std::move(results);
        SeamManager::calls = 0;
        SeamManager::onRegister = nullptr;
        previous_ = ServiceStatusWatcher::setRegisterFunction(&SeamManager::registerCall);
    }
    ~SeamScope() {
        ServiceStatusWatcher::setRegisterFunction(previous_);
        SeamManager::onRegister = nullptr;
    }
    SeamScope(const SeamScope&) = delete;
    SeamScope& operator=(const SeamScope&) = delete;

private:
    ServiceStatusWatcher::RegisterFunction previous_ = nullptr;
};

void NTAPI runNotifyCallback(ULONG_PTR buffer) {
    auto* notify = reinterpret_cast<PSERVICE_NOTIFYW>(buffer);
    notify->pfnNotifyCallback(notify);
}

// Queues the manager's answer to a registration as an APC of this thread,
// as the manager delivers it.
void deliver(PSERVICE_NOTIFYW buffer, DWORD state, DWORD result = ERROR_SUCCESS, DWORD triggered = 0) {
    buffer->dwNotificationStatus = result;
    buffer->ServiceStatus = SERVICE_STATUS_PROCESS{};
    buffer->ServiceStatus.dwCurrentState = state;
    buffer->dwNotificationTriggered = triggered ? triggered : 1u << (state - SERVICE_STOPPED);
    ::QueueUserAPC(&runNotifyCallback, ::GetCurrentThread(), reinterpret_cast<ULONG_PTR>(buffer));
}

void runCallbacks() {
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
}

// Nothing left to look for soon (under Wine, stopped services are still
// asked about a deletion at the slow period).
void expectNothingQuickDue(const ServiceStatusWatcher& watcher) {
    EXPECT_GT(watcher.nextLookMs(), ServiceStatusWatcher::kSlowLookMs);
}

// Past the watcher's first period for looking again.
void lookAgainLater(ServiceStatusWatcher& watcher) {
    ASSERT_LE(watcher.nextLookMs(), ServiceStatusWatcher::kQuickLookMs);
    ::Sleep(ServiceStatusWatcher::kQuickLookMs + 100);
    watcher.lookAgain();
}

TEST(ServiceStatusWatcherSeam, TheCallbackOnlyCopiesAndANotificationLetInMeanwhileComesAfter) {
    ScopedService service = testService();
    SeamScope seam;
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(service.name()), 0u);
    ASSERT_EQ(SeamManager::calls, 1);
    deliver(SeamManager::buffers.back(), SERVICE_START_PENDING);
    runCallbacks();
    // Woken, but nothing registered from inside the callback.
    EXPECT_EQ(seen.wakes, 1);
    EXPECT_EQ(SeamManager::calls, 1);

    // Registering again lets the next notification in before it returns.
    SeamManager::onRegister = [](int call, PSERVICE_NOTIFYW buffer) {
        if (call != 2) return;
        deliver(buffer, SERVICE_RUNNING);
        runCallbacks();
    };
    seen.take();
    EXPECT_EQ(SeamManager::calls, 3);
    std::vector<DWORD> states;
    for (const ServiceChange& change : seen.changes) states.push_back(change.status.dwCurrentState);
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING}));
}

TEST(ServiceStatusWatcherSeam, ALostRegistrationIsReportedAndMadeAgain) {
    const struct {
        DWORD error;
        // A lagging client makes the manager connection again, and with it
        // every registration.
        int registrationsAfter;
    } cases[] = {{ERROR_SERVICE_NOTIFY_CLIENT_LAGGING, 4}, {ERROR_NOT_ENOUGH_MEMORY, 3}};
    for (const auto& c : cases) {
        ScopedService first = testService();
        ScopedService second = testService();
        SeamScope seam;
        Collected seen;
        ASSERT_EQ(seen.watcher.watch(first.name()), 0u);
        ASSERT_EQ(seen.watcher.watch(second.name()), 0u);
        deliver(SeamManager::buffers.front(), SERVICE_STOPPED, c.error);
        seen.take();
        EXPECT_EQ(SeamManager::calls, c.registrationsAfter) << c.error;
        ASSERT_FALSE(seen.changes.empty()) << c.error;
        EXPECT_TRUE(seen.changes[0].lost);
        EXPECT_EQ(seen.changes[0].error, c.error);
        EXPECT_EQ(seen.changes[0].name, first.name());
        // What is found when watched again is reported as a change.
        EXPECT_EQ(seen.changes.size(), size_t(c.registrationsAfter - 1)) << c.error;
        for (size_t i = 1; i < seen.changes.size(); ++i) {
            EXPECT_FALSE(seen.changes[i].lost);
            EXPECT_EQ(seen.changes[i].status.dwCurrentState, DWORD(SERVICE_STOPPED));
        }
        seen.changes.clear();
        // The new registration works.
        deliver(SeamManager::buffers.back(), SERVICE_START_PENDING);
        runCallbacks();
        seen.take();
        ASSERT_EQ(seen.changes.size(), 1u) << c.error;
        EXPECT_FALSE(seen.changes[0].lost);
        EXPECT_EQ(seen.changes[0].status.dwCurrentState, DWORD(SERVICE_START_PENDING));
        expectNothingQuickDue(seen.watcher);
    }
}

TEST(ServiceStatusWatcherSeam, ARegistrationRefusedWhenMadeAgainIsTriedLater) {
    ScopedService service = testService();
    // Watched; the next registration fails, so does the one made at once.
    SeamScope seam({0, ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY});
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(service.name()), 0u);
    deliver(SeamManager::buffers.back(), SERVICE_START_PENDING);
    runCallbacks();
    seen.take();
    EXPECT_TRUE(seen.watcher.watching(service.name()));
    ASSERT_EQ(seen.changes.size(), 2u);
    EXPECT_EQ(seen.changes[0].status.dwCurrentState, DWORD(SERVICE_START_PENDING));
    EXPECT_TRUE(seen.changes[1].lost);
    seen.changes.clear();
    lookAgainLater(seen.watcher);
    seen.take();
    EXPECT_EQ(SeamManager::calls, 4);
    ASSERT_EQ(seen.changes.size(), 1u);
    EXPECT_FALSE(seen.changes[0].lost);
    expectNothingQuickDue(seen.watcher);
}

TEST(ServiceStatusWatcherSeam, AServiceBeingDeletedKeepsItsStateUntilItIsGone) {
    const std::wstring name = sandboxkit::uniqueName(L"qsw");
    sandboxkit::createService(name, L"Deleted " + name, L"");
    // Marked for deletion when first watched and when looked for again.
    SeamScope seam({ERROR_SERVICE_MARKED_FOR_DELETE, ERROR_SERVICE_MARKED_FOR_DELETE});
    Collected seen;
    SERVICE_STATUS_PROCESS current{};
    ASSERT_EQ(seen.watcher.watch(name, &current), 0u);
    EXPECT_EQ(current.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(seen.watcher.watching(name));
    lookAgainLater(seen.watcher);
    seen.take();
    EXPECT_TRUE(seen.changes.empty());
    EXPECT_EQ(SeamManager::calls, 2);
    // Released, it can go: then it is reported deleted.
    ASSERT_TRUE(sandboxkit::deleteService(name));
    lookAgainLater(seen.watcher);
    seen.take();
    ASSERT_EQ(seen.changes.size(), 1u);
    EXPECT_TRUE(seen.changes[0].deleted);
    EXPECT_FALSE(seen.watcher.watching(name));
    expectNothingQuickDue(seen.watcher);
}

TEST(ServiceStatusWatcherSeam, DeletePendingWhileRunningKeepsTheStateAndFindsTheNewService) {
    const std::wstring name = sandboxkit::uniqueName(L"qsw");
    sandboxkit::createService(name, L"Replaced " + name, L"");
    sandboxkit::startAndWait(name);
    SeamScope seam;
    Collected seen;
    ASSERT_EQ(seen.watcher.watch(name), 0u);
    deliver(SeamManager::buffers.back(), SERVICE_RUNNING, ERROR_SUCCESS, SERVICE_NOTIFY_DELETE_PENDING);
    runCallbacks();
    seen.take();
    // No change: the state last reported stands.
    EXPECT_TRUE(seen.changes.empty());
    EXPECT_TRUE(seen.watcher.watching(name));
    // Deleted (which the released handle allows) and created anew, as an
    // upgrade does.
    ASSERT_TRUE(sandboxkit::deleteService(name));
    // The manager lets the name go once the old process has ended.
    ASSERT_TRUE(waitUntil(
        [&] {
            try {
                sandboxkit::createService(name, L"Replaced " + name, L"");
                return true;
            } catch (const std::runtime_error&) {
                return false;
            }
        },
        5000));
    lookAgainLater(seen.watcher);
    seen.take();
    ASSERT_EQ(seen.changes.size(), 2u);
    EXPECT_TRUE(seen.changes[0].deleted);
    EXPECT_FALSE(seen.changes[1].deleted);
    EXPECT_EQ(seen.changes[1].status.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(seen.watcher.watching(name));
    seen.watcher.unwatch(name);
    sandboxkit::deleteService(name);
}

}  // namespace
