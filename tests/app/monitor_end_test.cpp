// How the monitor dialog ends: on the exit message (after a running service
// command, whose questions are still answered) and when the session ends or
// Restart Manager closes the program.
#include "app/control_dlg.h"

#include "app/exit_message.h"
#include "app/tray_icon.h"
#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

using sandboxkit::ScopedService;
using testing_support::BoxAnswerer;
using testing_support::OpenMonitor;

namespace {

// Takes a WM_QUIT from the thread's queue; true when there was one.
bool takeQuit() {
    MSG message;
    return ::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE;
}

void checkAllServices(OpenMonitor& monitor) {
    for (const testing_support::TreeItem& group : testing_support::readTree(monitor.tree()))
        for (const testing_support::TreeItem& item : group.children)
            testing_support::setItemChecked(monitor.tree(), item.handle, true);
}

}  // namespace

TEST(MonitorEnd, ExitMessageDuringACommandsQuestionQuitsOnceTheCommandIsDone) {
    ScopedService failing(sandboxkit::uniqueName(L"qme1"), L"Failing first", L"--fail-start=1");
    ScopedService second(sandboxkit::uniqueName(L"qme2"), L"Failing second", L"--fail-start=1");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", failing.name(), L"Group");
    packages.addService(L"t", L"p", second.name(), L"Group");
    OpenMonitor monitor;
    checkAllServices(monitor);
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    bool boxStayedOpen = true;
    boxes.beforeAnswer([&](const testing_support::SeenBox& box) {
        // The box's own message loop dispatches the exit message.
        ::SendMessageW(monitor.window(), exitMessage(), 0, 0);
        ::Sleep(300);
        if (!::FindWindowW(L"#32770", box.caption.c_str())) boxStayedOpen = false;
    });

    monitor.command(IDC_START);

    // Both services' questions were asked and answered, then the loop is told to end.
    ASSERT_EQ(boxes.seen().size(), 2u);
    EXPECT_EQ(boxes.seen()[1].caption, L"Start Failing second");
    EXPECT_TRUE(boxStayedOpen) << "the exit message closed the command's question";
    EXPECT_TRUE(takeQuit());
}

TEST(MonitorEnd, EndOfSessionRemovesTheIconAndQuitsAndACancelledOneChangesNothing) {
    struct Case {
        WPARAM ending;
        LPARAM reason;
        bool quits;
    };
    const Case cases[] = {
        {TRUE, ENDSESSION_CLOSEAPP, true},
        {TRUE, 0, true},
        // ENDSESSION_LOGOFF is 0x80000000, beyond a 32-bit LPARAM's range.
        {TRUE, static_cast<LPARAM>(static_cast<ULONG_PTR>(ENDSESSION_LOGOFF)), true},
        {FALSE, ENDSESSION_CLOSEAPP, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ending " << c.ending << ", reason " << std::hex << c.reason);
        takeQuit();
        OpenMonitor monitor;
        ASSERT_TRUE(trayIconAdded());
        // A dialog answers through DWLP_MSGRESULT; TRUE lets the session end.
        EXPECT_EQ(monitor.send(WM_QUERYENDSESSION, 0, c.reason), TRUE);
        monitor.send(WM_ENDSESSION, c.ending, c.reason);
        EXPECT_EQ(trayIconAdded(), !c.quits);
        EXPECT_EQ(takeQuit(), c.quits);
    }
}

TEST(MonitorEnd, EndOfSessionDuringACommandsQuestionCountsAsAbort) {
    ScopedService failing(sandboxkit::uniqueName(L"qme3"), L"Failing first", L"--fail-start=1");
    ScopedService second(sandboxkit::uniqueName(L"qme4"), L"Failing second", L"--fail-start=1");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", failing.name(), L"Group");
    packages.addService(L"t", L"p", second.name(), L"Group");
    takeQuit();
    OpenMonitor monitor;
    checkAllServices(monitor);
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    boxes.beforeAnswer([&](const testing_support::SeenBox&) {
        // Windows logs off while the question is open: the box's own message
        // loop dispatches the end of the session to the dialog.
        DWORD_PTR answer = 0;
        ::SendMessageTimeoutW(monitor.window(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &answer);
        ::SendMessageTimeoutW(monitor.window(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000, &answer);
    });

    monitor.command(IDC_START);

    // The first question's box closed without an answer that lets the pass
    // go on: the second service is not tried again, and nothing put the icon back.
    ASSERT_GE(boxes.seen().size(), 1u);
    EXPECT_EQ(boxes.seen()[0].caption, L"Start Failing first");
    EXPECT_EQ(boxes.seen().size(), 1u) << "the pass went on while the session ended";
    EXPECT_FALSE(trayIconAdded());
    EXPECT_TRUE(takeQuit());
}
