// The monitor following the service manager's notifications, with the real
// dialog, tray icon and message loop: services changed from outside show
// within two seconds, stops are announced once and only when the monitor did
// not make them.
#include "app/control_dlg.h"
#include "app/live_service_state.h"
#include "app/message_loop.h"

#include "management_service_scope.h"
#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "test_support.h"
#include "website_fixture.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

using namespace testing_support;
using sandboxkit::ScopedService;

namespace {

constexpr DWORD kFollowMs = 2000;
// The announcer's gathering period and some slack for a loaded machine.
constexpr DWORD kBalloonMs = StopAnnouncer::kGatheringMs + 3000;

// The program's own loop until `done` (a notification runs only there).
template <class Condition>
bool pumpUntil(OpenMonitor& monitor, Condition done, DWORD timeoutMs) {
    return runMessageLoopUntil(monitor.window(), done, timeoutMs);
}

void pumpFor(OpenMonitor& monitor, DWORD ms) {
    runMessageLoopUntil(monitor.window(), [] { return false; }, ms);
}

size_t occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

size_t stopLines(const std::wstring& name) {
    return occurrences(debugLogText(), L"Service " + name + L" stopped unexpectedly");
}

// The per-user balloon switch for a scope: set (or removed) when made, put
// back when it ends.
class BalloonSetting {
public:
    BalloonSetting() {
        ::RegCreateKeyExW(HKEY_CURRENT_USER, StopAnnouncer::kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          key_.put(), nullptr);
        DWORD size = sizeof(saved_);
        had_ = ::RegQueryValueExW(key_.get(), StopAnnouncer::kBalloonSetting, nullptr, &type_, saved_, &size) ==
               ERROR_SUCCESS;
        savedSize_ = size;
    }
    ~BalloonSetting() {
        if (had_) ::RegSetValueExW(key_.get(), StopAnnouncer::kBalloonSetting, 0, type_, saved_, savedSize_);
        else ::RegDeleteValueW(key_.get(), StopAnnouncer::kBalloonSetting);
    }
    BalloonSetting(const BalloonSetting&) = delete;
    BalloonSetting& operator=(const BalloonSetting&) = delete;

    void set(DWORD type, const std::string& bytes) {
        ::RegSetValueExW(key_.get(), StopAnnouncer::kBalloonSetting, 0, type,
                         reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    }
    void setDword(DWORD value) { set(REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4)); }
    void remove() { ::RegDeleteValueW(key_.get(), StopAnnouncer::kBalloonSetting); }

private:
    UniqueRegKey key_;
    bool had_ = false;
    DWORD type_ = 0;
    BYTE saved_[64] = {};
    DWORD savedSize_ = 0;
};

// "quarnsrv" running for the test (testsvc, or the sandbox's management
// service program), the debug log on.
struct RunningManagement {
    ProductSettings settings;
    ManagementServiceScope scope;
    explicit RunningManagement(bool sandboxProgram = false) {
        settings.setDword(L"Debug", 1);
        if (sandboxProgram)
            sandboxkit::createService(kManagementServiceName, L"Quarn management (test)", L"", {},
                                      SERVICE_DEMAND_START, binDir() + L"\\quarnsrv.exe");
        else
            scope.create(L"");
        sandboxkit::startAndWait(kManagementServiceName);
    }
};

int rowImage(OpenMonitor& monitor, const std::wstring& group, const std::wstring& text) {
    for (const TreeItem& item : childrenOf(monitor.tree(), group))
        if (item.text == text) return item.image;
    return -1;
}

TEST(LiveState, QuarnsrvStoppedFromOutsideWithTheDialogClosed) {
    PackagesSandbox packages;
    RunningManagement management(true);
    BalloonSetting setting;
    setting.remove();
    OpenMonitor monitor;
    ASSERT_TRUE(monitor.app().liveState()->live());
    ASSERT_EQ(monitor.tray().lastState(), TrayStarted);
    ASSERT_FALSE(::IsWindowVisible(monitor.window()));
    const size_t linesBefore = stopLines(kManagementServiceName);
    StopAnnouncer& announcer = monitor.app().liveState()->announcer();

    ASSERT_EQ(sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayStopped; }, kFollowMs));
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - Stopped");
    EXPECT_TRUE(pumpUntil(monitor, [&] { return announcer.balloonCount() == 1; }, kBalloonMs));
    EXPECT_EQ(announcer.lastBalloonText(), L"Quarn management (test) stopped unexpectedly.");
    EXPECT_EQ(stopLines(kManagementServiceName), linesBefore + 1);
    EXPECT_NE(debugLogText().find(L"Service quarnsrv stopped unexpectedly (exit code 0)"), std::wstring::npos);

    // Started from outside again: the icon follows, and nothing is announced.
    sandboxkit::startService(kManagementServiceName);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayStarted; }, kFollowMs));
    // A crash reports its service-specific exit code.
    ASSERT_TRUE(pumpUntil(monitor, [] { return sandboxkit::queryStatus(kManagementServiceName).dwCurrentState ==
                                              SERVICE_RUNNING; }, 5000));
    pumpFor(monitor, 300);
    ASSERT_TRUE(sandboxkit::crashManagementService());
    EXPECT_TRUE(pumpUntil(monitor, [&] { return announcer.balloonCount() == 2; }, kBalloonMs));
    const SERVICE_STATUS crashed = sandboxkit::queryStatus(kManagementServiceName);
    ASSERT_EQ(crashed.dwWin32ExitCode, DWORD(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(announcer.lastBalloonText(),
              L"Quarn management (test) stopped unexpectedly. Exit code " +
                  std::to_wstring(crashed.dwServiceSpecificExitCode) + L": service-specific error.");
}

TEST(LiveState, BalloonsOffStillLogTheStop) {
    PackagesSandbox packages;
    RunningManagement management;
    BalloonSetting setting;
    setting.setDword(0);
    OpenMonitor monitor;
    const size_t linesBefore = stopLines(kManagementServiceName);
    ASSERT_EQ(sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return stopLines(kManagementServiceName) > linesBefore; }, kBalloonMs));
    pumpFor(monitor, StopAnnouncer::kGatheringMs + 500);
    EXPECT_EQ(monitor.app().liveState()->announcer().balloonCount(), 0u);
    EXPECT_EQ(monitor.tray().lastState(), TrayStopped);
}

TEST(LiveState, BalloonSettingIsOffOnlyForDwordZero) {
    BalloonSetting setting;
    const DWORD zero = 0, one = 1;
    const struct {
        const char* what;
        DWORD type;
        std::string bytes;
        bool enabled;
    } cases[] = {
        {"DWORD 0", REG_DWORD, std::string(reinterpret_cast<const char*>(&zero), 4), false},
        {"DWORD 1", REG_DWORD, std::string(reinterpret_cast<const char*>(&one), 4), true},
        {"string 0", REG_SZ, std::string("0\0\0", 4), true},
        {"two bytes", REG_BINARY, std::string("\0\0", 2), true},
        {"eight-byte DWORD", REG_DWORD, std::string(8, '\0'), true},
    };
    for (const auto& c : cases) {
        setting.set(c.type, c.bytes);
        EXPECT_EQ(StopAnnouncer::balloonsEnabled(), c.enabled) << c.what;
    }
    setting.remove();
    EXPECT_TRUE(StopAnnouncer::balloonsEnabled()) << "missing";
}

// Three catalogue services in the group "Live", running.
struct LiveCatalogue {
    ScopedService a{sandboxkit::uniqueName(L"qla"), L"Live A", L""};
    ScopedService b{sandboxkit::uniqueName(L"qlb"), L"Live B", L""};
    ScopedService c{sandboxkit::uniqueName(L"qlc"), L"Live C", L""};
    PackagesSandbox packages;
    LiveCatalogue() {
        packages.setInstalled(L"t", L"p");
        for (const ScopedService* service : {&a, &b, &c}) {
            packages.addService(L"t", L"p", service->name(), L"Live");
            sandboxkit::startAndWait(service->name());
        }
    }
};

void showDialog(OpenMonitor& monitor) {
    monitor.command(ID_TRAY_CONTROL_PANEL);
    pumpFor(monitor, 300);  // the posted refresh
    ASSERT_TRUE(::IsWindowVisible(monitor.window()));
}

TEST(LiveState, RowsAndIconFollowWhileTheDialogIsOpen) {
    LiveCatalogue catalogue;
    RunningManagement management;
    OpenMonitor monitor;
    ServiceStatusWatcher& watcher = monitor.app().liveState()->watcher();
    EXPECT_TRUE(watcher.watching(catalogue.a.name()));  // hidden too
    showDialog(monitor);
    EXPECT_TRUE(watcher.watching(catalogue.a.name()));
    ASSERT_EQ(rowImage(monitor, L"Live", L"Live A"), 0);

    sandboxkit::controlService(catalogue.a.name(), SERVICE_CONTROL_STOP);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return rowImage(monitor, L"Live", L"Live A") == 1; }, kFollowMs));
    sandboxkit::startService(catalogue.a.name());
    EXPECT_TRUE(pumpUntil(monitor, [&] { return rowImage(monitor, L"Live", L"Live A") == 0; }, kFollowMs));
    EXPECT_EQ(rowImage(monitor, L"Live", L"Live B"), 0);

    // quarnsrv deleted: absent shows Disabled; created and started: Started.
    ASSERT_TRUE(sandboxkit::deleteService(kManagementServiceName));
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayDisabled; }, kFollowMs + 1000));
    EXPECT_FALSE(watcher.watching(kManagementServiceName));
    management.scope.create(L"");
    sandboxkit::startService(kManagementServiceName);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayStarted; }, kFollowMs + 1000));
    EXPECT_TRUE(watcher.watching(kManagementServiceName));

    // Hidden again: the catalogue's services stay watched.
    monitor.send(WM_CLOSE);
    EXPECT_TRUE(watcher.watching(catalogue.a.name()));
    EXPECT_TRUE(watcher.watching(kManagementServiceName));
}

TEST(LiveState, AProductServiceStoppedWithTheDialogNeverOpenedIsLoggedAndAnnounced) {
    LiveCatalogue catalogue;
    RunningManagement management;
    BalloonSetting setting;
    setting.remove();
    OpenMonitor monitor;
    ASSERT_FALSE(::IsWindowVisible(monitor.window()));
    StopAnnouncer& announcer = monitor.app().liveState()->announcer();
    const size_t linesBefore = stopLines(catalogue.b.name());
    ASSERT_EQ(sandboxkit::controlService(catalogue.b.name(), SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return announcer.balloonCount() == 1; }, kBalloonMs));
    EXPECT_EQ(announcer.lastBalloonText(), L"Live B stopped unexpectedly.");
    EXPECT_EQ(stopLines(catalogue.b.name()), linesBefore + 1);
    EXPECT_FALSE(::IsWindowVisible(monitor.window()));
}

TEST(LiveState, AStopFromOutsideWhileACommandsBoxWaitsIsAnnounced) {
    PackagesSandbox packages;
    ScopedService failing{sandboxkit::uniqueName(L"qlf"), L"Live failing", L"--fail-start=1"};
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", failing.name(), L"Live");
    RunningManagement management;
    BalloonSetting setting;
    setting.remove();
    OpenMonitor monitor;
    const size_t linesBefore = stopLines(kManagementServiceName);
    for (const TreeItem& item : childrenOf(monitor.tree(), L"Live")) setItemChecked(monitor.tree(), item.handle, true);
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    boxes.beforeAnswer([](const SeenBox&) {
        // quarnsrv crashes while the Abort/Retry/Ignore box waits.
        sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP);
        sandboxkit::waitForState(kManagementServiceName, SERVICE_STOPPED);
        ::Sleep(kFollowMs);
    });
    monitor.command(IDC_START);
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.app().liveState()->announcer().balloonCount() == 1; },
                          kBalloonMs));
    EXPECT_EQ(stopLines(kManagementServiceName), linesBefore + 1);
    EXPECT_EQ(monitor.tray().lastState(), TrayStopped);
}

TEST(LiveState, ThreeStopsAtOnceMakeOneBalloon) {
    LiveCatalogue catalogue;
    RunningManagement management;
    BalloonSetting setting;
    setting.remove();
    OpenMonitor monitor;
    showDialog(monitor);
    StopAnnouncer& announcer = monitor.app().liveState()->announcer();
    for (const ScopedService* service : {&catalogue.a, &catalogue.b, &catalogue.c})
        sandboxkit::controlService(service->name(), SERVICE_CONTROL_STOP);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return announcer.balloonCount() > 0; }, kBalloonMs));
    pumpFor(monitor, StopAnnouncer::kGatheringMs + 500);
    EXPECT_EQ(announcer.balloonCount(), 1u);
    const std::wstring text = announcer.lastBalloonText();
    EXPECT_EQ(text.rfind(L"3 Quarn services stopped unexpectedly: ", 0), 0u) << text;
    for (const wchar_t* name : {L"Live A", L"Live B", L"Live C"}) EXPECT_NE(text.find(name), std::wstring::npos);
}

TEST(LiveState, StopsOfTheMonitorsOwnCommandsAreNotAnnounced) {
    LiveCatalogue catalogue;
    RunningManagement management;
    OpenMonitor monitor;
    showDialog(monitor);
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    const size_t linesBefore = stopLines(catalogue.a.name()) + stopLines(catalogue.b.name());
    for (const TreeItem& item : childrenOf(monitor.tree(), L"Live"))
        if (item.text != L"Live C") setItemChecked(monitor.tree(), item.handle, true);
    monitor.command(IDC_RESTART);
    monitor.command(IDC_STOP);
    pumpFor(monitor, 500);
    monitor.command(ID_TRAY_STOP);
    pumpFor(monitor, kBalloonMs);
    EXPECT_EQ(sandboxkit::queryStatus(catalogue.c.name()).dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(monitor.app().liveState()->announcer().balloonCount(), 0u);
    EXPECT_EQ(stopLines(catalogue.a.name()) + stopLines(catalogue.b.name()) + stopLines(catalogue.c.name()),
              linesBefore);
    // The rows show what the commands left.
    EXPECT_EQ(rowImage(monitor, L"Live", L"Live C"), 1);
    // Live still: a stop from outside afterwards is announced.
    monitor.command(IDC_START);
    pumpFor(monitor, 300);
    sandboxkit::controlService(catalogue.a.name(), SERVICE_CONTROL_STOP);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.app().liveState()->announcer().balloonCount() == 1; },
                          kBalloonMs));
    EXPECT_TRUE(boxes.seen().empty());
}

TEST(LiveState, TheWebsiteCommandsStopOfQuarnsrvIsNotAnnounced) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    OpenMonitor monitor;
    const size_t linesBefore = stopLines(kManagementServiceName);
    for (WORD command : {IDC_START_WEBSITE, IDC_STOP_WEBSITE}) {
        // Each holds quarnsrv running and stops it again before its box.
        ASSERT_EQ(run(monitor, command).size(), 1u);
        pumpFor(monitor, kBalloonMs);
        EXPECT_EQ(stateOf(kManagementServiceName), DWORD(SERVICE_STOPPED));
        EXPECT_EQ(monitor.tray().lastState(), TrayStopped);
    }
    EXPECT_EQ(monitor.app().liveState()->announcer().balloonCount(), 0u);
    EXPECT_EQ(stopLines(kManagementServiceName), linesBefore);
}

DWORD WINAPI refuseRegistration(SC_HANDLE, DWORD, PSERVICE_NOTIFYW) {
    return ERROR_CALL_NOT_IMPLEMENTED;
}

TEST(LiveState, WithoutNotificationsTheTimerStillUpdatesTheIcon) {
    PackagesSandbox packages;
    RunningManagement management;
    const auto previous = ServiceStatusWatcher::setRegisterFunction(&refuseRegistration);
    {
        OpenMonitor monitor;
        EXPECT_FALSE(monitor.app().liveState()->live());
        EXPECT_NE(debugLogText().find(L"Service change notifications are not available for quarnsrv (error 120"),
                  std::wstring::npos);
        ASSERT_EQ(monitor.tray().lastState(), TrayStarted);
        ASSERT_EQ(sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP), 0u);
        ASSERT_TRUE(sandboxkit::waitForState(kManagementServiceName, SERVICE_STOPPED));
        // 101 ticks of the 100 ms timer, with room for a loaded machine.
        EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayStopped; }, 15000));
        EXPECT_EQ(monitor.app().liveState()->announcer().balloonCount(), 0u);
    }
    ServiceStatusWatcher::setRegisterFunction(previous);
}

// Refuses the first registration for a service being deleted, then passes
// the calls on: stands in for Windows, whose manager does so while an
// upgrade deletes and creates quarnsrv again.
int markedForDeleteAnswers = 0;
DWORD WINAPI markedForDeleteFirst(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW buffer) {
    if (markedForDeleteAnswers > 0) {
        --markedForDeleteAnswers;
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    return ::NotifyServiceStatusChangeW(service, mask, buffer);
}

TEST(LiveState, QuarnsrvBeingDeletedAtStartKeepsNotificationsOn) {
    PackagesSandbox packages;
    RunningManagement management;
    markedForDeleteAnswers = 1;
    const auto previous = ServiceStatusWatcher::setRegisterFunction(&markedForDeleteFirst);
    {
        const size_t notAvailable = occurrences(debugLogText(), L"Service change notifications are not available");
        OpenMonitor monitor;
        EXPECT_TRUE(monitor.app().liveState()->live());
        EXPECT_EQ(occurrences(debugLogText(), L"Service change notifications are not available"), notAvailable);
        EXPECT_EQ(monitor.tray().lastState(), TrayStarted);
        // Looked for again, it is found registered anew (here it was never
        // really deleted: the same service comes back as a new one).
        ServiceStatusWatcher& watcher = monitor.app().liveState()->watcher();
        EXPECT_TRUE(watcher.watching(kManagementServiceName));
        pumpFor(monitor, ServiceStatusWatcher::kQuickLookMs + 500);
        EXPECT_GT(watcher.nextLookMs(), ServiceStatusWatcher::kSlowLookMs);
        EXPECT_EQ(monitor.tray().lastState(), TrayStarted);
        ASSERT_EQ(sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP), 0u);
        EXPECT_TRUE(pumpUntil(monitor, [&] { return monitor.tray().lastState() == TrayStopped; }, kFollowMs));
    }
    ServiceStatusWatcher::setRegisterFunction(previous);
}

TEST(LiveState, TheIconFollowsWhileABoxOfTheDialogIsOpen) {
    PackagesSandbox packages;
    RunningManagement management;
    OpenMonitor monitor;
    ASSERT_EQ(monitor.tray().lastState(), TrayStarted);
    BoxAnswerer boxes(monitor.window(), {IDOK});
    boxes.beforeAnswer([](const SeenBox&) {
        sandboxkit::controlService(kManagementServiceName, SERVICE_CONTROL_STOP);
        sandboxkit::waitForState(kManagementServiceName, SERVICE_STOPPED);
        ::Sleep(kFollowMs);
    });
    // The box's own loop is the only one that runs meanwhile.
    ::MessageBoxW(monitor.window(), L"waiting", L"Box", MB_OK);
    EXPECT_EQ(monitor.tray().lastState(), TrayStopped);
}

TEST(LiveState, ClickOnTheBalloonShowsTheDialog) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    monitor.send(kTrayCallbackMessage, kTrayIconId, NIN_BALLOONUSERCLICK);
    EXPECT_TRUE(::IsWindowVisible(monitor.window()));
}

}  // namespace
