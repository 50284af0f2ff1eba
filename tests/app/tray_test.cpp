#include "app/control_dlg.h"
#include "app/exit_message.h"
#include "app/tray_icon.h"
#include "ui/message_filter.h"

#include "management_service_scope.h"
#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using testing_support::ManagementServiceScope;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;

namespace {

const wchar_t kManagement[] = L"quarnsrv";

void expectTray(OpenMonitor& monitor, TrayState state, const wchar_t* tip) {
    monitor.tray().refreshTrayIcon();
    EXPECT_EQ(monitor.tray().lastState(), state);
    EXPECT_EQ(monitor.tray().lastTip(), tip);
}

TEST(Tray, IconAndTooltipFollowTheManagementService) {
    PackagesSandbox packages;
    ManagementServiceScope management;
    OpenMonitor monitor;
    EXPECT_TRUE(trayIconAdded());
    expectTray(monitor, TrayDisabled, L"Quarn - Disabled");  // missing

    management.create(L"");
    expectTray(monitor, TrayStopped, L"Quarn - Stopped");
    management.setStartType(SERVICE_DISABLED);
    expectTray(monitor, TrayDisabled, L"Quarn - Disabled");
    management.setStartType(SERVICE_DEMAND_START);
    sandboxkit::startAndWait(kManagement);
    expectTray(monitor, TrayStarted, L"Quarn - Started");
    EXPECT_TRUE(monitor.tray().updateTrayIcon(TrayStarted, L"Started"));

    management.remove();
    management.create(L"--endless-start-pending");
    ASSERT_EQ(sandboxkit::startService(kManagement), 0u);
    ASSERT_TRUE(sandboxkit::waitForState(kManagement, SERVICE_START_PENDING));
    management.setStartType(SERVICE_DISABLED);
    expectTray(monitor, TrayStarted, L"Quarn - Started");

    // A progress text keeps the state's picture.
    monitor.tray().showTrayText(L"Starting Mail...");
    EXPECT_EQ(monitor.tray().lastState(), TrayStarted);
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - Starting Mail...");
}

TEST(Tray, TooltipIsCutTo127Characters) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    const std::wstring text(200, L'x');
    EXPECT_TRUE(monitor.tray().updateTrayIcon(TrayStopped, text));
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - " + text.substr(0, 127 - 8));
}

// A change no notification reports (a start type set by hand) reaches the
// icon through the timer alone: on its 101st tick after the last refresh,
// not before.
TEST(Tray, TimerBringsTheIconUpToDateOnEvery101stTick) {
    PackagesSandbox packages;
    ManagementServiceScope management;
    management.create(L"");
    OpenMonitor monitor;
    ::KillTimer(monitor.window(), 1);
    const unsigned before = monitor.tray().updateCount();
    int ticks = 0;
    while (monitor.tray().updateCount() == before && ticks < 200) {
        monitor.tick();
        ++ticks;
    }
    ASSERT_LE(ticks, 101);
    ASSERT_EQ(monitor.tray().lastState(), TrayStopped);

    management.setStartType(SERVICE_DISABLED);
    for (int i = 0; i < 100; ++i) monitor.tick();
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - Stopped") << "refreshed before the 101st tick";
    monitor.tick();
    EXPECT_EQ(monitor.tray().lastState(), TrayDisabled);
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - Disabled");
}

TEST(Tray, LeftClickShowsTheDialogAndRefreshesOnce) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    ::KillTimer(monitor.window(), 1);
    for (int click = 0; click < 2; ++click) {
        const unsigned updates = monitor.tray().updateCount();
        monitor.setStatus(L"marker");
        monitor.send(kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
        EXPECT_TRUE(::IsWindowVisible(monitor.window()));
        EXPECT_EQ(monitor.status(), L"marker");  // the refresh is posted
        testing_support::pumpMessages(200);
        EXPECT_EQ(monitor.status(), L"");
        EXPECT_EQ(monitor.tray().updateCount(), updates + 1);
    }
    // Other mouse messages do nothing.
    monitor.setStatus(L"marker");
    monitor.send(WM_CLOSE);
    for (LPARAM mouse : {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK}) {
        EXPECT_EQ(monitor.send(kTrayCallbackMessage, kTrayIconId, mouse), 0);
    }
    testing_support::pumpMessages(100);
    EXPECT_FALSE(::IsWindowVisible(monitor.window()));
    EXPECT_EQ(monitor.status(), L"marker");
}

struct MenuSeen {
    std::vector<UINT> ids;
    UINT defaultId = 0;
    bool found = false;
};

BOOL CALLBACK findMenuWindow(HWND window, LPARAM context) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId() && std::wstring(name) == L"#32768" && ::IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(context) = window;
        return FALSE;
    }
    return TRUE;
}

TEST(Tray, RightClickOpensTheMenuWithControlPanelAsDefault) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    MenuSeen seen;
    std::atomic<bool> done{false};
    std::thread closer([&] {
        for (int i = 0; i < 250 && !done; ++i) {
            HWND menuWindow = nullptr;
            ::EnumWindows(&findMenuWindow, reinterpret_cast<LPARAM>(&menuWindow));
            if (!menuWindow) {
                ::Sleep(20);
                continue;
            }
            if (!seen.found) {
                auto menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
                for (int item = 0; item < ::GetMenuItemCount(menu); ++item) seen.ids.push_back(::GetMenuItemID(menu, item));
                seen.defaultId = ::GetMenuDefaultItem(menu, FALSE, 0);
                seen.found = true;
            }
            ::PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
            ::Sleep(100);
        }
    });
    monitor.send(kTrayCallbackMessage, kTrayIconId, WM_RBUTTONUP);
    done = true;
    closer.join();
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.ids, (std::vector<UINT>{ID_TRAY_START, ID_TRAY_STOP, ID_TRAY_RESTART, IDC_START_WEBSITE,
                                           IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS, 0, ID_TRAY_CONTROL_PANEL,
                                           ID_TRAY_EXIT}));
    EXPECT_EQ(seen.defaultId, UINT(ID_TRAY_CONTROL_PANEL));
}

// The notification area holds icon 1 of `window` (a modification that
// changes nothing succeeds only for an icon it holds).
bool iconHeld(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kTrayIconId;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// What a restarted shell looks like to us: the icon is gone.
void takeIconAway(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kTrayIconId;
    ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &data));
    ASSERT_FALSE(iconHeld(window));
}

TEST(Tray, IconIsAddedAgainWhenTheNotificationAreaIsRecreated) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    ASSERT_TRUE(trayIconAdded());

    // "TaskbarCreated" adds it again.
    takeIconAway(monitor.window());
    unsigned adds = monitor.tray().addCount();
    const unsigned updates = monitor.tray().updateCount();
    ::SendMessageW(monitor.window(), taskbarCreatedMessage(), 0, 0);
    EXPECT_EQ(monitor.tray().addCount(), adds + 1);
    EXPECT_EQ(monitor.tray().updateCount(), updates + 1);
    EXPECT_TRUE(iconHeld(monitor.window()));

    // Without the message (it never reached us), the next update finds the
    // icon missing and adds it again instead of failing for good.
    takeIconAway(monitor.window());
    adds = monitor.tray().addCount();
    EXPECT_TRUE(monitor.tray().updateTrayIcon(TrayStopped, L"back"));
    EXPECT_EQ(monitor.tray().addCount(), adds + 1);
    EXPECT_TRUE(iconHeld(monitor.window()));
    EXPECT_EQ(monitor.tray().lastTip(), L"Quarn - back");
}

// Records what the monitor's window lets through from lower integrity levels.
struct FilterCall {
    HWND window;
    UINT message;
    DWORD action;
};
std::vector<FilterCall> g_filterCalls;

BOOL WINAPI recordFilter(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT) {
    g_filterCalls.push_back({window, message, action});
    return TRUE;
}

// Stands in for Windows' integrity levels, which Wine does not have: an
// elevated monitor must still get the shell's "TaskbarCreated" and the exit
// message of an ordinary user's `exit`.
TEST(Tray, MonitorWindowLetsTaskbarCreatedAndTheExitMessageThroughFromLowerIntegrity) {
    PackagesSandbox packages;
    auto& call = message_filter_detail::changeFilterCall();
    const auto platform = call;
    g_filterCalls.clear();
    call = &recordFilter;
    {
        OpenMonitor monitor;
        call = platform;
        for (UINT message : {taskbarCreatedMessage(), exitMessage()}) {
            SCOPED_TRACE(message);
            EXPECT_TRUE(std::any_of(g_filterCalls.begin(), g_filterCalls.end(), [&](const FilterCall& seen) {
                return seen.window == monitor.window() && seen.message == message && seen.action == MSGFLT_ALLOW;
            }));
        }
    }
    call = platform;
}

// Any process may broadcast "TaskbarCreated", and the shell does on some DPI
// and theme changes, while the icon is still there: the icon must go on
// following the management service.
TEST(Tray, IconFollowsTheStateAfterTaskbarCreatedWhileItExists) {
    PackagesSandbox packages;
    ManagementServiceScope management;
    management.create(L"");
    OpenMonitor monitor;
    ASSERT_TRUE(trayIconAdded());
    expectTray(monitor, TrayStopped, L"Quarn - Stopped");

    const unsigned adds = monitor.tray().addCount();
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(HWND_BROADCAST, taskbarCreatedMessage(), 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    EXPECT_TRUE(trayIconAdded());

    sandboxkit::startAndWait(kManagement);
    expectTray(monitor, TrayStarted, L"Quarn - Started");
    EXPECT_TRUE(monitor.tray().updateTrayIcon(TrayStarted, L"Started")) << "the notification area took the change";
    // One add for the broadcast; the updates modify the icon.
    EXPECT_EQ(monitor.tray().addCount(), adds + 1);
}

}  // namespace
