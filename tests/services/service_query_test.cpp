#include "services/service_query.h"

#include "diagnostics/exceptions.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <functional>

using sandboxkit::ScopedService;
using service::ServiceNameList;

namespace {

std::wstring freshName() { return sandboxkit::uniqueName(L"qsq"); }

// A testsvc service whose display name (label and service name) is unique
// too: Wine refuses a second service with a display name still in use.
ScopedService testService(const std::wstring& label, const std::wstring& args,
                          const std::vector<std::wstring>& dependencies = {}, DWORD startType = SERVICE_DEMAND_START) {
    const std::wstring name = freshName();
    return ScopedService(name, label + L" " + name, args, dependencies, startType);
}

// Expects `call` to raise VServiceDoesNotExistException for `name`.
void expectMissing(const std::wstring& name, const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const VServiceDoesNotExistException& error) {
        EXPECT_EQ(error.code(), 1060u);
        EXPECT_NE(error.message().find(L"OpenService '" + name + L"'"), std::wstring::npos);
    }
}

TEST(ServiceQuery, MissingServiceIsAResultOnlyForExist) {
    const std::wstring name = freshName();
    EXPECT_FALSE(service::exist(name));
    ServiceNameList names;
    SERVICE_STATUS status{};
    expectMissing(name, [&] { service::queryStatusService(status, name); });
    expectMissing(name, [&] { service::isActive(name); });
    expectMissing(name, [&] { service::effStatus(name); });
    expectMissing(name, [&] { service::serviceDisplayName(name); });
    expectMissing(name, [&] { service::serviceDisplayName(name.c_str()); });
    expectMissing(name, [&] { service::serviceStartupType(name); });
    expectMissing(name, [&] { service::serviceDependencies(names, name); });
    expectMissing(name, [&] { service::dependentServices(names, name, SERVICE_STATE_ALL); });
    EXPECT_TRUE(names.empty());
}

TEST(ServiceQuery, StoppedServicesByStartupType) {
    ScopedService manual = testService(L"Manual one", L"");
    ScopedService disabled = testService(L"Disabled one", L"", {}, SERVICE_DISABLED);
    EXPECT_TRUE(service::exist(manual.name()));
    EXPECT_FALSE(service::isActive(manual.name()));
    EXPECT_FALSE(service::isActive(disabled.name()));
    EXPECT_EQ(service::effStatus(manual.name()), service::EffStartable);
    EXPECT_EQ(service::effStatus(disabled.name()), service::EffDisabled);
    EXPECT_EQ(service::serviceStartupType(manual.name()), DWORD(SERVICE_DEMAND_START));
    EXPECT_EQ(service::serviceStartupType(disabled.name()), DWORD(SERVICE_DISABLED));
    EXPECT_EQ(service::serviceDisplayName(manual.name()), L"Manual one " + manual.name());
    EXPECT_EQ(service::serviceDisplayName(disabled.name().c_str()), L"Disabled one " + disabled.name());
    SERVICE_STATUS status{};
    EXPECT_EQ(service::queryStatusService(status, manual.name()), 0u);
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
}

TEST(ServiceQuery, RunningStartingAndPausedServices) {
    ScopedService running = testService(L"Running", L"--accept-pause");
    ScopedService paused = testService(L"Paused", L"--accept-pause");
    ScopedService starting = testService(L"Starting", L"--endless-start-pending --wait-hint=2000", {},
                           SERVICE_AUTO_START);
    sandboxkit::startAndWait(running.name());
    sandboxkit::startAndWait(paused.name());
    ASSERT_EQ(sandboxkit::controlService(paused.name(), SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(paused.name(), SERVICE_PAUSED));
    ASSERT_EQ(sandboxkit::startService(starting.name()), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(starting.name(), SERVICE_START_PENDING));

    EXPECT_TRUE(service::isActive(running.name()));
    EXPECT_EQ(service::effStatus(running.name()), service::EffActive);
    EXPECT_FALSE(service::isActive(paused.name()));
    EXPECT_EQ(service::effStatus(paused.name()), service::EffStartable);
    EXPECT_TRUE(service::isActive(starting.name()));
    EXPECT_EQ(service::effStatus(starting.name()), service::EffActive);
}

TEST(ServiceQuery, PendingStopAndPauseAreNotActive) {
    ScopedService stopping = testService(L"Stopping", L"--stop-delay=2500");
    ScopedService pausing = testService(L"Pausing", L"--accept-pause --pause-delay=2500");
    sandboxkit::startAndWait(stopping.name());
    sandboxkit::startAndWait(pausing.name());
    ASSERT_EQ(sandboxkit::controlService(stopping.name(), SERVICE_CONTROL_STOP), 0u);
    ASSERT_EQ(sandboxkit::controlService(pausing.name(), SERVICE_CONTROL_PAUSE), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(stopping.name(), SERVICE_STOP_PENDING));
    ASSERT_TRUE(sandboxkit::waitForState(pausing.name(), SERVICE_PAUSE_PENDING));
    EXPECT_FALSE(service::isActive(stopping.name()));
    EXPECT_FALSE(service::isActive(pausing.name()));
    EXPECT_EQ(service::effStatus(stopping.name()), service::EffStartable);
}

TEST(ServiceQuery, ConfigurationLargerThanTheFirstBuffer) {
    // A display name and binary path that alone exceed the first 260 bytes.
    const std::wstring longDisplay(200, L'D');
    ScopedService large = testService(longDisplay, L"--tag=" + std::wstring(150, L'x'));
    EXPECT_EQ(service::serviceDisplayName(large.name()), longDisplay + L" " + large.name());
    EXPECT_EQ(service::serviceStartupType(large.name()), DWORD(SERVICE_DEMAND_START));
    ServiceNameList names{L"kept"};
    service::serviceDependencies(names, large.name());
    EXPECT_EQ(names, ServiceNameList{L"kept"});
}

TEST(ServiceQuery, ServiceWithoutDisplayNameYieldsAnEmptyOne) {
    ScopedService unnamed(freshName(), L"", L"");
    EXPECT_EQ(service::serviceDisplayName(unnamed.name()), L"");
}

}  // namespace
