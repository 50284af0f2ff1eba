#include "services/service_control.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "sandbox_kit.h"
#include "test_support.h"
#include "threading/cancelation_point.h"
#include "threading/cancelation_registry.h"
#include "threading/execute_context.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

using sandboxkit::ScopedService;
using service::ServiceNameList;

namespace {

std::wstring freshName() { return sandboxkit::uniqueName(L"qsc"); }

// A testsvc service whose display name (label and service name) is unique
// too: Wine refuses a second service with a display name still in use.
ScopedService testService(const std::wstring& label, const std::wstring& args,
                          const std::vector<std::wstring>& dependencies = {}, DWORD startType = SERVICE_DEMAND_START) {
    const std::wstring name = freshName();
    return ScopedService(name, label + L" " + name, args, dependencies, startType);
}

// Real time, but the engine's sleeps shortened twentyfold, so chains of
// real services settle quickly.
class FastClock final : public service_detail::WaitClock {
public:
    DWORD tick() override { return ::GetTickCount(); }
    void sleep(DWORD ms) override {
        ++sleeps;
        ::SleepEx(ms / 20 > 10 ? ms / 20 : 10, TRUE);
    }
    int sleeps = 0;
};

// Counts sleeps without sleeping.
class InstantClock final : public service_detail::WaitClock {
public:
    DWORD tick() override { return now; }
    void sleep(DWORD ms) override {
        sleeps.push_back(ms);
        now += ms;
    }
    DWORD now = 0;
    std::vector<DWORD> sleeps;
};

// Dependencies as the test registered them. Wine's manager keeps them but
// reports none, so the engine's look-ups are answered from this table; the
// dependents are those of the table that are active in the real manager, in
// the order the table gives.
struct DependencyTable {
    std::map<std::wstring, ServiceNameList> dependsOn;
    std::map<std::wstring, ServiceNameList> dependents;

    service_detail::DependencyLookup lookup() const {
        return {[this](ServiceNameList& names, const std::wstring& name, const wchar_t*, const wchar_t*) {
                    if (auto it = dependsOn.find(name); it != dependsOn.end())
                        names.insert(names.end(), it->second.begin(), it->second.end());
                },
                [this](ServiceNameList& names, const std::wstring& name, const wchar_t*, const wchar_t*) {
                    if (auto it = dependents.find(name); it != dependents.end())
                        for (const auto& other : it->second)
                            if (service::isActive(other)) names.push_back(other);
                }};
    }
};

// The "<name> running" / "<name> stopped" lines the services wrote.
std::vector<std::string> readEvents(const std::wstring& path) {
    std::ifstream file(std::string(path.begin(), path.end()), std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string event(const std::wstring& name, const char* what) { return std::string(name.begin(), name.end()) + " " + what; }

struct ProgressRecord {
    std::vector<std::pair<int, std::wstring>> calls;
};

int recordProgress(int stage, const wchar_t* name, void* context) {
    static_cast<ProgressRecord*>(context)->calls.emplace_back(stage, name);
    return 0;
}

DWORD stateOf(const std::wstring& name) { return sandboxkit::queryStatus(name).dwCurrentState; }

TEST(ServiceControl, StopPauseAndContinueARunningService) {
    ScopedService svc = testService(L"Pausable", L"--accept-pause");
    sandboxkit::startAndWait(svc.name());
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_PAUSE, svc.name()), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_PAUSED));
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_CONTINUE, svc.name()), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, svc.name()), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_STOPPED));
    // Nothing left to stop.
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, svc.name()), 0u);
}

TEST(ServiceControl, StopOfAMissingServiceSucceedsOtherControlsRaise) {
    const std::wstring name = freshName();
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, name), 0u);
    try {
        service::controlService(SERVICE_CONTROL_PAUSE, name);
        FAIL() << "no exception";
    } catch (const VServiceDoesNotExistException& error) {
        EXPECT_NE(error.message().find(L"OpenService '" + name + L"'"), std::wstring::npos);
        ASSERT_EQ(error.context().size(), 1u);
        EXPECT_EQ(error.context()[0].function, "service::controlService");
        EXPECT_EQ(error.context()[0].line, 481);
    }
}

TEST(ServiceControl, ControlIgnoredByTheServiceTimesOutAfterSixtyPolls) {
    ScopedService svc = testService(L"Deaf", L"--ignore-stop");
    sandboxkit::startAndWait(svc.name());
    InstantClock clock;
    EXPECT_EQ(service_detail::controlService(clock, SERVICE_CONTROL_STOP, svc.name(), nullptr, nullptr),
              DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(clock.sleeps, std::vector<DWORD>(60, 1000));
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
}

TEST(ServiceControl, ControlIgnoredByTheServiceTimesOutAfterAMinuteSlow) {
    ScopedService svc = testService(L"Deaf", L"--ignore-stop");
    sandboxkit::startAndWait(svc.name());
    const ULONGLONG began = ::GetTickCount64();
    EXPECT_EQ(service::controlService(SERVICE_CONTROL_STOP, svc.name()), DWORD(ERROR_TIMEOUT));
    EXPECT_GE(::GetTickCount64() - began, 59000u);
}

TEST(ServiceControl, StartWaitsThroughCheckPoints) {
    ScopedService svc = testService(L"Slow starter", L"--start-delay=1500 --checkpoints=3 --wait-hint=1000");
    EXPECT_EQ(service::startService(svc.name()), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
}

TEST(ServiceControl, StartOfAStoppingServiceWaitsForTheStopThenStarts) {
    ScopedService svc = testService(L"Stopping", L"--stop-delay=1500");
    sandboxkit::startAndWait(svc.name());
    ASSERT_EQ(sandboxkit::controlService(svc.name(), SERVICE_CONTROL_STOP), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(svc.name(), SERVICE_STOP_PENDING));
    FastClock clock;
    EXPECT_EQ(service_detail::startService(clock, svc.name(), nullptr, nullptr), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
}

TEST(ServiceControl, StartOfAPausingServiceWaitsForThePauseThenContinues) {
    ScopedService svc = testService(L"Pausing", L"--accept-pause --pause-delay=1500");
    sandboxkit::startAndWait(svc.name());
    ASSERT_EQ(sandboxkit::controlService(svc.name(), SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(svc.name(), SERVICE_PAUSE_PENDING));
    FastClock clock;
    EXPECT_EQ(service_detail::startService(clock, svc.name(), nullptr, nullptr), 0u);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
}

TEST(ServiceControl, CancellingTheThreadEndsTheStartWaitAtOnce) {
    ScopedService svc = testService(L"Endless", L"--endless-start-pending --wait-hint=2000");
    auto& registry = ExecuteContext::get().registry();
    registry.setEnabled(true);
    DWORD threadId = 0;
    std::atomic<bool> returned{false};
    UniqueHandle thread = ThreadCancelation::startThread(
        [&] {
            service::startService(svc.name());
            returned = true;
        },
        &threadId);
    // Until the thread sleeps between two polls (its current point is the
    // sleep's asynchronous one).
    const bool sleeping = testing_support::waitUntil(
        [&] {
            for (const auto& registered : registry.threads())
                if (registered.threadId == threadId && registered.point &&
                    registered.point->mode() == ThreadCancelation::Asynchronous)
                    return true;
            return false;
        },
        10000);
    ASSERT_TRUE(sleeping);
    EXPECT_TRUE(registry.cancelThread(threadId));
    const ULONGLONG cancelled = ::GetTickCount64();
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_LT(::GetTickCount64() - cancelled, 900u);
    DWORD exitCode = 1;
    ::GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(returned);
}

TEST(ServiceControl, StartStopServiceReportsItsStages) {
    ScopedService svc = testService(L"Staged", L"");
    ProgressRecord progress;
    service::startStopService(svc.name(), true, nullptr, nullptr, recordProgress, &progress);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_RUNNING));
    service::startStopService(svc.name(), false, nullptr, nullptr, recordProgress, &progress);
    EXPECT_EQ(stateOf(svc.name()), DWORD(SERVICE_STOPPED));
    EXPECT_EQ(progress.calls, (std::vector<std::pair<int, std::wstring>>{{service::StageGatherDependencies, svc.name()},
                                                                         {service::StageStarting, svc.name()},
                                                                         {service::StageGatherDependencies, svc.name()},
                                                                         {service::StageStopping, svc.name()}}));
}

TEST(ServiceControl, StartOfARunningServiceSendsNoStart) {
    ScopedService svc = testService(L"Running", L"");
    sandboxkit::startAndWait(svc.name());
    // A start request would now fail with ERROR_SERVICE_DISABLED.
    sandboxkit::setStartType(svc.name(), SERVICE_DISABLED);
    EXPECT_EQ(service::startService(svc.name()), 0u);
    ProgressRecord progress;
    service::startStopService(svc.name(), true, nullptr, nullptr, recordProgress, &progress);
    EXPECT_TRUE(progress.calls.empty());
    // Likewise a stop request for a stopped service does nothing.
    ScopedService stopped = testService(L"Stopped", L"");
    service::startStopService(stopped.name(), false, nullptr, nullptr, recordProgress, &progress);
    EXPECT_TRUE(progress.calls.empty());
}

TEST(ServiceControl, FailedStartsYieldTheServiceExitCode) {
    ScopedService specific = testService(L"Specific", L"--fail-start=1066:42");
    ScopedService win32 = testService(L"Win32", L"--fail-start=1064");
    ScopedService silent = testService(L"Silent", L"--fail-start=0");
    // Started once only, so the result does not depend on how soon Wine has
    // cleared the process of a failed start.
    ScopedService raised = testService(L"Raised", L"--fail-start=1066:42");
    FastClock clock;
    try {
        EXPECT_EQ(service_detail::startService(clock, specific.name(), nullptr, nullptr), 42u);
        EXPECT_EQ(service_detail::startService(clock, win32.name(), nullptr, nullptr), 1064u);
        EXPECT_EQ(service_detail::startService(clock, silent.name(), nullptr, nullptr), DWORD(SERVICE_STOPPED));
    } catch (const vexception& error) {
        FAIL() << cstr(error.fullText());
    }
    try {
        service::startStopService(raised.name(), true);
        FAIL() << "no exception";
    } catch (const vosexception& error) {
        EXPECT_EQ(error.code(), 42u);
        EXPECT_NE(error.message().find(L"Start service " + raised.name()), std::wstring::npos);
        ASSERT_EQ(error.context().size(), 1u);
        EXPECT_EQ(error.context()[0].function, "service::startStopService");
        EXPECT_EQ(error.context()[0].line, 994);
    } catch (const vexception& error) {
        FAIL() << cstr(error.fullText());
    }
}

TEST(ServiceControl, StartOfAMissingServiceRaisesAWrappedError) {
    const std::wstring name = freshName();
    try {
        service::startService(name);
        FAIL() << "no exception";
    } catch (const vosexception&) {
        FAIL() << "the subclass must not pass the wrapping";
    } catch (const vexception& error) {
        EXPECT_NE(error.message().find(L"OpenService '" + name + L"'"), std::wstring::npos);
        ASSERT_EQ(error.context().size(), 2u);
        EXPECT_EQ(error.context()[0].function, "service::startService");
        EXPECT_EQ(error.context()[0].line, 177);
        EXPECT_EQ(error.context()[1].function, "service::startService");
        EXPECT_EQ(error.context()[1].line, 274);
        EXPECT_EQ(error.context()[1].text, L"startService(" + name + L")");
    }
}

// A depends on B, B on C.
class ServiceChain : public ::testing::Test {
protected:
    testing_support::ScratchDir scratch;
    std::wstring log = scratch.path() + L"\\events.log";
    std::wstring args = L"--log=" + log;
    ScopedService c = testService(L"Chain C", args);
    ScopedService b = testService(L"Chain B", args, {c.name()});
    ScopedService a = testService(L"Chain A", args, {b.name()});
    DependencyTable table;
    FastClock clock;

    void SetUp() override {
        table.dependsOn = {{a.name(), {b.name()}}, {b.name(), {c.name()}}};
        // As the manager reports them: every dependent, the last started first.
        table.dependents = {{c.name(), {a.name(), b.name()}}, {b.name(), {a.name()}}};
    }
    void run(const std::wstring& name, bool start, ProgressRecord* progress = nullptr,
             ServiceNameList* stopped = nullptr) {
        service_detail::startStopService(table.lookup(), clock, name, start, nullptr, nullptr,
                                         progress ? recordProgress : nullptr, progress, stopped);
    }
};

TEST_F(ServiceChain, StartingAStartsItsDependenciesFirst) {
    ProgressRecord progress;
    run(a.name(), true, &progress);
    EXPECT_EQ(readEvents(log), (std::vector<std::string>{event(c.name(), "running"), event(b.name(), "running"),
                                                         event(a.name(), "running")}));
    // Only the service asked for reports progress.
    EXPECT_EQ(progress.calls, (std::vector<std::pair<int, std::wstring>>{{service::StageGatherDependencies, a.name()},
                                                                         {service::StageStarting, a.name()}}));
}

TEST_F(ServiceChain, StoppingCStopsItsDependentsFirstAndListsThem) {
    run(a.name(), true);
    ProgressRecord progress;
    ServiceNameList stopped{L"earlier"};
    run(c.name(), false, &progress, &stopped);
    const auto events = readEvents(log);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(events.begin() + 3, events.end()),
              (std::vector<std::string>{event(a.name(), "stopped"), event(b.name(), "stopped"),
                                        event(c.name(), "stopped")}));
    EXPECT_EQ(stopped, (ServiceNameList{L"earlier", a.name(), b.name()}));
    EXPECT_EQ(progress.calls, (std::vector<std::pair<int, std::wstring>>{{service::StageGatherDependencies, c.name()},
                                                                         {service::StageStopping, c.name()}}));
}

TEST_F(ServiceChain, ANameGatheredTwiceIsListedTwiceAndStoppedOnce) {
    run(a.name(), true);
    // Direct dependents only, B before A: A is gathered under B and under C.
    table.dependents = {{c.name(), {b.name(), a.name()}}, {b.name(), {a.name()}}};
    ServiceNameList stopped;
    run(c.name(), false, nullptr, &stopped);
    EXPECT_EQ(stopped, (ServiceNameList{b.name(), a.name(), a.name()}));
    const auto events = readEvents(log);
    EXPECT_EQ(std::vector<std::string>(events.begin() + 3, events.end()),
              (std::vector<std::string>{event(a.name(), "stopped"), event(b.name(), "stopped"),
                                        event(c.name(), "stopped")}));
}

TEST_F(ServiceChain, GroupDependenciesAreLeftToTheManager) {
    table.dependsOn[b.name()] = {L"+SomeGroup", c.name()};
    run(a.name(), true);
    EXPECT_EQ(stateOf(a.name()), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(c.name()), DWORD(SERVICE_RUNNING));
}

TEST_F(ServiceChain, AFailureMidChainLeavesTheStartedServicesRunning) {
    ScopedService broken = testService(L"Broken", L"--fail-start=1066:7");
    table.dependsOn[b.name()] = {c.name(), broken.name()};
    try {
        run(a.name(), true);
        FAIL() << "no exception";
    } catch (const vosexception& error) {
        EXPECT_EQ(error.code(), 7u);
        EXPECT_NE(error.message().find(L"Start service " + broken.name()), std::wstring::npos);
    }
    EXPECT_EQ(stateOf(c.name()), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(b.name()), DWORD(SERVICE_STOPPED));
}

// A cycle in the dependencies (or dependents) is raised, naming it in order,
// before any service of it is started or stopped.
TEST_F(ServiceChain, DependencyCyclesAreRaisedNamingTheCycle) {
    table.dependsOn[c.name()] = {a.name()};
    try {
        run(b.name(), true);
        FAIL() << "no exception";
    } catch (const vexception& error) {
        EXPECT_EQ(error.message(),
                  L"Service dependency cycle: " + b.name() + L" -> " + c.name() + L" -> " + a.name() + L" -> " + b.name());
        EXPECT_EQ(error.context().back().function, "service::startStopService");
    }
    for (const auto* service : {&a, &b, &c}) EXPECT_EQ(stateOf(service->name()), DWORD(SERVICE_STOPPED));

    table.dependsOn.erase(c.name());
    run(a.name(), true);
    table.dependents = {{c.name(), {b.name()}}, {b.name(), {c.name()}}};
    try {
        run(c.name(), false);
        FAIL() << "no exception";
    } catch (const vexception& error) {
        EXPECT_EQ(error.message(), L"Service dependent cycle: " + c.name() + L" -> " + b.name() + L" -> " + c.name());
    }
    for (const auto* service : {&a, &b, &c}) EXPECT_EQ(stateOf(service->name()), DWORD(SERVICE_RUNNING));
}

}  // namespace
