// The website and session commands on the real dialog in the sandbox: the
// real "quarnsrv" and "W3SVC" services, the sitectl stand-in and the
// sandbox's MariaDB server. Every box is answered from the test.
#include "app/control_dlg.h"

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
