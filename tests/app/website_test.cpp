// The website and session commands on the real dialog in the sandbox: the
// real "quarnsrv" and "W3SVC" services, the sitectl stand-in and the
// sandbox's MariaDB server. Every box is answered from the test.
#include "app/control_dlg.h"
#include "services/service_status_watcher.h"

#include "monitor_fixture.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "sandbox_database.h"
#include "sandbox_kit.h"
#include "sitectl_control.h"
#include "test_support.h"
#include "website_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <thread>

using namespace testing_support;

TEST(WebsiteCommands, StartWithTheManagementServiceRunningLeavesItRunning) {
    WebsiteSandbox sandbox(SERVICE_RUNNING, SERVICE_STOPPED);
    OpenMonitor monitor;
    const auto boxes = run(monitor, IDC_START_WEBSITE);

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kStartCaption);
    EXPECT_EQ(boxes[0].text, L"Quarn Control Panel website was successfully started");
    EXPECT_EQ(stateOf(kWebServer), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(kManagement), static_cast<DWORD>(SERVICE_RUNNING));
    const auto runs = sandboxkit::sitectlRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find(L"C:\\Quarn\\admin\\bin64\\sitectl.exe\t"), std::wstring::npos) << runs[0];
    EXPECT_NE(runs[0].find(L"--start-quarn-website"), std::wstring::npos) << runs[0];
    EXPECT_EQ(sandboxkit::websiteState(), L"on");
    // The tree was refreshed (which clears the status line).
    EXPECT_EQ(monitor.status(), L"");
}

TEST(WebsiteCommands, StartWithTheManagementServiceStoppedStopsItAgain) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    OpenMonitor monitor;
    DWORD atBox = 0;
    const auto boxes = run(monitor, IDC_START_WEBSITE, [&](const SeenBox&) { atBox = stateOf(kManagement); });

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Quarn Control Panel website was successfully started");
    // sitectl was found through the product root that only the running
    // management service can give.
    EXPECT_TRUE(ranWith(L"--start-quarn-website"));
    EXPECT_EQ(atBox, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stateOf(kManagement), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(WebsiteCommands, FailingUtilityIsShownAfterTheManagementServiceStoppedAgain) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    sandboxkit::SitectlControl control;
    control.setText(L"stdout", L"done");
    control.setNumber(L"exit_code", 3);
    OpenMonitor monitor;
    DWORD atBox = 0;
    const auto boxes = run(monitor, IDC_START_WEBSITE, [&](const SeenBox&) { atBox = stateOf(kManagement); });

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kStartCaption);
    EXPECT_EQ(boxes[0].text.find(L"Execute sitectl --start-quarn-website failed with error code 3: done"), 0u)
        << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(L"(execQuarnUtil line"), std::wstring::npos) << boxes[0].text;
    EXPECT_EQ(atBox, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(monitor.status(), kMarker);
}

TEST(WebsiteCommands, WebServerThatFailsToStartStopsTheCommandBeforeTheUtility) {
    WebsiteSandbox sandbox(SERVICE_RUNNING, SERVICE_STOPPED);
    const sandboxkit::ScopedArguments failing(kWebServer, L"--fail-start=1064");
    OpenMonitor monitor;
    const auto boxes = run(monitor, IDC_START_WEBSITE);

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kStartCaption);
    EXPECT_NE(boxes[0].text.find(L"Start service W3SVC"), std::wstring::npos) << boxes[0].text;
    EXPECT_TRUE(sandboxkit::sitectlRuns().empty());
}

TEST(WebsiteCommands, StopRunsTheUtilityOnlyWhileTheWebServerRuns) {
    OpenMonitor monitor;
    {
        WebsiteSandbox sandbox(SERVICE_RUNNING, SERVICE_STOPPED);
        const auto boxes = run(monitor, IDC_STOP_WEBSITE);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, kStopCaption);
        EXPECT_EQ(boxes[0].text, L"Quarn Control Panel website was successfully stopped");
        EXPECT_TRUE(sandboxkit::sitectlRuns().empty());
    }
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    const auto boxes = run(monitor, IDC_STOP_WEBSITE);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Quarn Control Panel website was successfully stopped");
    EXPECT_TRUE(ranWith(L"--stop-quarn-website"));
    EXPECT_EQ(sandboxkit::websiteState(), L"off");
    EXPECT_EQ(stateOf(kWebServer), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(kManagement), static_cast<DWORD>(SERVICE_STOPPED));
    // No refresh after a stop.
    EXPECT_EQ(monitor.status(), kMarker);
}

TEST(SessionCommand, DeletesEverySessionSilently) {
    SessionsKept kept;
    ASSERT_GT(sessionCount(kept.database()), 0);
    OpenMonitor monitor;
    const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(sessionCount(kept.database()), 0);

    EXPECT_NE(testing_support::debugLogText().find(L"SQL: DELETE FROM sessions"), std::wstring::npos);
}

TEST(SessionCommand, UnreachableDatabaseAndServiceNodeAreShown) {
    OpenMonitor monitor;
    {
        testing_support::ProductSettings store(L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings");
        store.setString(L"MySQL_DB_PORT", L"1");
        const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, kDeleteCaption);
        EXPECT_EQ(boxes[0].text.find(L"Failed to connect to database: "), 0u) << boxes[0].text;
    }
    testing_support::ProductSettings installer(L"SOFTWARE\\QUARN\\Installer\\QuarnCP");
    installer.remove(L"INSTALLDIR");
    const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kDeleteCaption);
    EXPECT_EQ(boxes[0].text.find(L"Unable to connect to Quarn database on service node"), 0u) << boxes[0].text;
}

// The tray menu's entries are the dialog's own commands.
TEST(WebsiteCommands, TrayMenuEntriesAreTheButtonsCommands) {
    UniqueMenu menu(::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
    HMENU popup = ::GetSubMenu(menu.get(), 0);
    std::map<std::wstring, UINT> ids;
    for (int i = 0; i < ::GetMenuItemCount(popup); ++i) {
        wchar_t text[64] = {};
        ::GetMenuStringW(popup, i, text, 64, MF_BYPOSITION);
        ids[text] = ::GetMenuItemID(popup, i);
    }
    EXPECT_EQ(ids[L"Start Quarn website"], static_cast<UINT>(IDC_START_WEBSITE));
    EXPECT_EQ(ids[L"Stop Quarn website"], static_cast<UINT>(IDC_STOP_WEBSITE));
    EXPECT_EQ(ids[L"Delete Sessions"], static_cast<UINT>(IDC_DELETE_SESSIONS));
}

// Each box is owned by the dialog and shows the icon of its kind, also
// while the dialog is hidden.
TEST(WebsiteCommands, BoxesAreOwnedByTheDialogAndShowTheirKindsIcon) {
    WebsiteSandbox sandbox(SERVICE_RUNNING, SERVICE_RUNNING);
    OpenMonitor monitor;
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden dialog" : "shown dialog");
        ::ShowWindow(monitor.window(), hidden ? SW_HIDE : SW_SHOW);
        std::vector<SeenBox> boxes = run(monitor, IDC_START_WEBSITE);
        const auto stopped = run(monitor, IDC_STOP_WEBSITE);
        boxes.insert(boxes.end(), stopped.begin(), stopped.end());
        {
            sandboxkit::SitectlControl control;
            control.setNumber(L"exit_code", 2);
            const auto failed = run(monitor, IDC_STOP_WEBSITE);
            boxes.insert(boxes.end(), failed.begin(), failed.end());
        }
        {
            testing_support::ProductSettings installer(L"SOFTWARE\\QUARN\\Installer\\QuarnCP");
            installer.remove(L"INSTALLDIR");
            const auto refused = run(monitor, IDC_DELETE_SESSIONS);
            boxes.insert(boxes.end(), refused.begin(), refused.end());
        }
        ASSERT_EQ(boxes.size(), 4u);
        const UINT icons[] = {MB_ICONINFORMATION, MB_ICONINFORMATION, MB_ICONERROR, MB_ICONERROR};
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].icon, icons[i]) << i << ": " << std::string(boxes[i].text.begin(), boxes[i].text.end());
            EXPECT_EQ(boxes[i].owner, monitor.window()) << i;
        }
        EXPECT_EQ(::IsWindowVisible(monitor.window()) == FALSE, hidden);
    }
}

// Both website commands end with one error box of their own caption whose
// text holds every one of `parts`; sitectl is never run, and quarnsrv is
// stopped when the command is over.
static void expectBothCommandsStopBeforeTheUtility(OpenMonitor& monitor, std::initializer_list<const wchar_t*> parts) {
    const std::pair<int, const wchar_t*> commands[] = {{IDC_START_WEBSITE, kStartCaption},
                                                       {IDC_STOP_WEBSITE, kStopCaption}};
    for (const auto& [command, caption] : commands) {
        const auto boxes = run(monitor, static_cast<WORD>(command));
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, caption);
        EXPECT_EQ(boxes[0].icon, static_cast<UINT>(MB_ICONERROR));
        for (const wchar_t* part : parts) EXPECT_NE(boxes[0].text.find(part), std::wstring::npos) << boxes[0].text;
        EXPECT_TRUE(sandboxkit::sitectlRuns().empty());
        EXPECT_EQ(stateOf(kManagement), static_cast<DWORD>(SERVICE_STOPPED));
    }
}

// A management service that cannot be started: the error box, and the
// utility is not run, for both commands.
TEST(WebsiteCommands, ManagementServiceThatCannotStartStopsTheCommandBeforeTheUtility) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    const StartRefused refused(kManagement);
    OpenMonitor monitor;
    // ERROR_SERVICE_DISABLED from starting "quarnsrv".
    expectBothCommandsStopBeforeTheUtility(monitor, {L"(Error code 1058)", L"quarnsrv"});
}

// Without a web server service both commands fail at the web-server step
// with the service-not-found error, and the utility is not run.
TEST(WebsiteCommands, WithoutTheWebServerServiceBothCommandsShowItIsMissing) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_STOPPED);
    const ServiceAbsent absent(kWebServer);
    OpenMonitor monitor;
    // The management service the start held is stopped again.
    expectBothCommandsStopBeforeTheUtility(monitor, {L"OpenService 'W3SVC'"});
}

// The management service, started for the command, is gone when the command
// stops it again (removed while the utility runs): the command still reports
// its own success, and the failed stop is logged at Warning with its context.
TEST(WebsiteCommands, AFailedStopOfTheManagementServiceIsOnlyLogged) {
    // The monitor's change notifications keep a handle to quarnsrv, and an
    // open handle keeps a deleted service in place until it is closed; the
    // stop would then still find it. Without notifications (refused, as on
    // a system that has none) the removal takes effect at once.
    struct RefusedNotifications {
        static DWORD WINAPI refuse(SC_HANDLE, DWORD, PSERVICE_NOTIFYW) { return ERROR_CALL_NOT_IMPLEMENTED; }
        ServiceStatusWatcher::RegisterFunction previous = ServiceStatusWatcher::setRegisterFunction(&refuse);
        ~RefusedNotifications() { ServiceStatusWatcher::setRegisterFunction(previous); }
    } refused;
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    sandboxkit::SitectlControl control;
    control.setNumber(L"wait_ms", 3000);
    std::unique_ptr<ServiceAbsent> removed;
    std::thread remover([&] {
        if (testing_support::waitUntil([] { return ranWith(L"--start-quarn-website"); }, 30000))
            removed = std::make_unique<ServiceAbsent>(kManagement);
    });
    std::vector<SeenBox> boxes;
    {
        OpenMonitor monitor;
        boxes = run(monitor, IDC_START_WEBSITE);
    }
    remover.join();
    ASSERT_TRUE(removed);
    removed.reset();  // created again; the sandbox starts it

    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"Quarn Control Panel website was successfully started");
    EXPECT_TRUE(ranWith(L"--start-quarn-website"));
    const std::wstring log = testing_support::debugLogText();
    const std::wstring pid = L" " + std::to_wstring(::GetCurrentProcessId()) + L" ";
    bool logged = false;
    for (size_t start = 0; start < log.size() && !logged;) {
        size_t end = log.find(L"\r\n", start);
        if (end == std::wstring::npos) end = log.size();
        const std::wstring line = log.substr(start, end - start);
        logged = line.find(pid) != std::wstring::npos && line.find(L"Warning: ") != std::wstring::npos &&
                 line.find(L"OpenService 'quarnsrv'") != std::wstring::npos &&
                 line.find(L"Stop quarnsrv(QuarnSrvCtrl::~QuarnSrvCtrl line 366)") != std::wstring::npos;
        start = end + 2;
    }
    EXPECT_TRUE(logged) << std::string(log.begin(), log.end());
}
