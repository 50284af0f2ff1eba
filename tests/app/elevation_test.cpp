// A monitor whose token holds the administrator's rights back (the test
// thread acts with the limited half of Wine's token pair) shows the shields
// and hands the commands to an elevated copy. Wine starts a "runas" program
// at once without a prompt, so ShellExecuteExW is replaced here: the
// refused prompt (1223) and a refused start (5) are its answers, and the
// "copy" it starts is a suspended stand-in process that the test ends with
// the exit code it wants. The real copy runs in tests/e2e/elevation_test.cpp.
#include "app/control_dlg.h"

#include "app/elevated_copy.h"
#include "app/elevated_launcher.h"
#include "app/exit_message.h"
#include "app/message_loop.h"
#include "diagnostics/com_ptr.h"
#include "limited_token.h"
#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "test_support.h"
#include "ui/tree_accessible.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

using sandboxkit::ScopedService;
using testing_support::ActAsLimitedUser;
using testing_support::BoxAnswerer;
using testing_support::childrenOf;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;
using testing_support::TreeItem;

namespace {

struct ShellCall {
    std::wstring verb;
    std::wstring file;
    std::wstring parameters;
    HWND owner = nullptr;
    ULONG mask = 0;
};

std::vector<ShellCall> shellCalls;
DWORD shellFailure = 0;
// The test's own handle of the stand-in copy.
UniqueHandle standInCopy;

std::wstring ownProgram() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

BOOL WINAPI standInShellExecuteEx(SHELLEXECUTEINFOW* info) {
    shellCalls.push_back({info->lpVerb ? info->lpVerb : L"", info->lpFile ? info->lpFile : L"",
                          info->lpParameters ? info->lpParameters : L"", info->hwnd, info->fMask});
    if (shellFailure) {
        ::SetLastError(shellFailure);
        return FALSE;
    }
    const std::wstring program = ownProgram();
    std::wstring line = L"\"" + program + L"\" --gtest_list_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                          &startup, &process))
        return FALSE;
    ::CloseHandle(process.hThread);
    HANDLE mine = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), process.hProcess, ::GetCurrentProcess(), &mine, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    standInCopy.reset(mine);
    info->hProcess = process.hProcess;
    return TRUE;
}

class ElevatedCommands : public ::testing::Test {
protected:
    void SetUp() override {
        shellCalls.clear();
        shellFailure = 0;
        setShellExecuteExCall(&standInShellExecuteEx);
    }
    void TearDown() override {
        setShellExecuteExCall(nullptr);
        if (standInCopy) ::TerminateProcess(standInCopy.get(), 1);
        standInCopy.reset();
    }
};

template <class Condition>
bool pumpUntil(OpenMonitor& monitor, Condition done, DWORD timeoutMs) {
    return runMessageLoopUntil(monitor.window(), done, timeoutMs);
}

void pumpFor(OpenMonitor& monitor, DWORD ms) {
    runMessageLoopUntil(monitor.window(), [] { return false; }, ms);
}

void check(OpenMonitor& monitor, const std::wstring& group, const std::wstring& text) {
    for (const TreeItem& item : childrenOf(monitor.tree(), group))
        if (item.text == text) {
            testing_support::setItemChecked(monitor.tree(), item.handle, true);
            return;
        }
    ADD_FAILURE() << "not in the tree";
}

DWORD stateOf(const std::wstring& name) {
    return sandboxkit::queryStatus(name).dwCurrentState;
}

size_t occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

constexpr WORD kButtons[] = {IDC_START,         IDC_STOP,         IDC_RESTART,         IDC_REFRESH,
                             IDC_START_WEBSITE, IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS, IDC_SELECT_ALL,
                             IDC_CLEAR_ALL,     IDC_HIDE};
constexpr WORD kShielded[] = {IDC_START,         IDC_STOP,         IDC_RESTART,
                              IDC_START_WEBSITE, IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS};

RECT placeOf(HWND dialog, WORD id) {
    RECT place{};
    ::GetWindowRect(::GetDlgItem(dialog, id), &place);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
    return place;
}

std::wstring textOf(HWND window) {
    wchar_t text[256] = {};
    ::GetWindowTextW(window, text, 256);
    return text;
}

std::wstring withoutMnemonic(std::wstring text) {
    const size_t at = text.find(L'&');
    if (at != std::wstring::npos) text.erase(at, 1);
    return text;
}

// A 96-DPI dialog and the same one with shields: the shield takes a small
// icon's width and a gap left of the text, inside the button's own frame.
TEST_F(ElevatedCommands, ALimitedTokenShieldsTheCommandsWithoutMovingAnything) {
    PackagesSandbox packages;
    std::map<WORD, RECT> fullPlaces;
    {
        OpenMonitor full;
        EXPECT_FALSE(full.dialog().showsShields());
        for (WORD id : kButtons) fullPlaces[id] = placeOf(full.window(), id);
    }
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    ASSERT_TRUE(monitor.dialog().showsShields());
    for (WORD id : kButtons) {
        const RECT place = placeOf(monitor.window(), id);
        EXPECT_TRUE(::EqualRect(&place, &fullPlaces[id])) << id;
    }
    ScopedComInitialization com;
    for (WORD id : kShielded) {
        HWND button = ::GetDlgItem(monitor.window(), id);
        RECT client{};
        ::GetClientRect(button, &client);
        SIZE ideal{};
        ASSERT_TRUE(::SendMessageW(button, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)));
        EXPECT_LE(ideal.cx, client.right) << id;

        HDC dc = ::GetDC(button);
        HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(button, WM_GETFONT, 0, 0)));
        RECT text{};
        const std::wstring caption = textOf(button);
        ::DrawTextW(dc, caption.c_str(), -1, &text, DT_CALCRECT | DT_SINGLELINE);
        ::SelectObject(dc, old);
        ::ReleaseDC(button, dc);
        // Frame and margin on each side, the shield and its gap.
        const int needed = text.right + 2 * (2 * ::GetSystemMetrics(SM_CXEDGE) + 2) +
                           ::GetSystemMetrics(SM_CXSMICON) + 4;
        EXPECT_LE(needed, client.right) << id;

        // A screen reader still reads the button's name.
        IAccessible* accessible = nullptr;
        ASSERT_EQ(::AccessibleObjectFromWindow(button, static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                               reinterpret_cast<void**>(&accessible)),
                  S_OK);
        VARIANT self;
        ::VariantInit(&self);
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR name = nullptr;
        accessible->get_accName(self, &name);
        EXPECT_EQ(std::wstring(name ? name : L""), withoutMnemonic(caption)) << id;
        ::SysFreeString(name);
        accessible->Release();
    }
}

BOOL CALLBACK findMenuWindow(HWND window, LPARAM param) {
    wchar_t name[32] = {};
    ::GetClassNameW(window, name, 32);
    if (std::wstring(name) == L"#32768" && ::IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(param) = window;
        return FALSE;
    }
    return TRUE;
}

// The tray menu's items of those commands carry the shield too, the others
// none.
TEST_F(ElevatedCommands, ALimitedTokenShieldsTheTrayMenusCommands) {
    PackagesSandbox packages;
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    std::map<UINT, bool> pictured;
    std::atomic<bool> done{false};
    std::thread closer([&] {
        for (int i = 0; i < 250 && !done; ++i) {
            HWND menuWindow = nullptr;
            ::EnumWindows(&findMenuWindow, reinterpret_cast<LPARAM>(&menuWindow));
            if (!menuWindow) {
                ::Sleep(20);
                continue;
            }
            if (pictured.empty()) {
                auto menu = reinterpret_cast<HMENU>(::SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
                for (int item = 0; item < ::GetMenuItemCount(menu); ++item) {
                    MENUITEMINFOW info{};
                    info.cbSize = sizeof(info);
                    info.fMask = MIIM_BITMAP | MIIM_ID;
                    ::GetMenuItemInfoW(menu, item, TRUE, &info);
                    if (info.wID) pictured[info.wID] = info.hbmpItem != nullptr;
                }
            }
            ::PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
            ::Sleep(100);
        }
    });
    monitor.send(kTrayCallbackMessage, kTrayIconId, WM_RBUTTONUP);
    done = true;
    closer.join();
    EXPECT_EQ(pictured, (std::map<UINT, bool>{{ID_TRAY_START, true},
                                              {ID_TRAY_STOP, true},
                                              {ID_TRAY_RESTART, true},
                                              {IDC_START_WEBSITE, true},
                                              {IDC_STOP_WEBSITE, true},
                                              {IDC_DELETE_SESSIONS, true},
                                              {ID_TRAY_CONTROL_PANEL, false},
                                              {ID_TRAY_EXIT, false}}));
}

// Refused at the prompt: nothing changes, no box, one Info line per command.
TEST_F(ElevatedCommands, ARefusedPromptChangesNothingAndShowsNoBox) {
    ScopedService running(sandboxkit::uniqueName(L"qel1"), L"Elevation running", L"");
    ScopedService stopped(sandboxkit::uniqueName(L"qel2"), L"Elevation stopped", L"");
    sandboxkit::startAndWait(running.name());
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", running.name(), L"Elevation");
    packages.addService(L"t", L"p", stopped.name(), L"Elevation");
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDOK});
    check(monitor, L"Elevation", L"Elevation stopped");
    shellFailure = ERROR_CANCELLED;
    const struct {
        WORD command;
        const wchar_t* title;
    } cases[] = {
        {IDC_START, L"Start services"},
        {IDC_RESTART, L"Restart services"},
        {ID_TRAY_STOP, L"Stop all services"},
        {IDC_START_WEBSITE, L"Start Quarn Control Panel website"},
        {IDC_STOP_WEBSITE, L"Stop Quarn Control Panel website"},
        {IDC_DELETE_SESSIONS, L"Delete All Sessions"},
    };
    size_t calls = 0;
    for (const auto& c : cases) {
        const size_t logged = testing_support::debugLogText().size();
        monitor.command(c.command);
        pumpFor(monitor, 200);
        ASSERT_EQ(shellCalls.size(), ++calls);
        EXPECT_EQ(shellCalls.back().verb, L"runas");
        const std::wstring log = testing_support::debugLogText().substr(logged);
        EXPECT_EQ(occurrences(log, std::wstring(L" Info: ") + c.title +
                                       L" needs administrator rights; the prompt was refused"),
                  1u)
            << c.command;
        EXPECT_FALSE(monitor.dialog().elevatedCopyRunning());
    }
    EXPECT_EQ(stateOf(running.name()), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(stopped.name()), DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(boxes.seen().empty());
}

// Any other refusal to start the copy is the command's error, in its box.
TEST_F(ElevatedCommands, ARefusedStartShowsTheCommandsErrorBox) {
    ScopedService stopped(sandboxkit::uniqueName(L"qel3"), L"Elevation denied", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", stopped.name(), L"Elevation");
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDOK});
    check(monitor, L"Elevation", L"Elevation denied");
    shellFailure = ERROR_ACCESS_DENIED;
    monitor.command(IDC_START);
    ASSERT_EQ(boxes.seen().size(), 1u);
    const testing_support::SeenBox box = boxes.seen()[0];
    EXPECT_EQ(box.caption, L"Start services");
    EXPECT_EQ(box.icon, UINT(MB_ICONERROR));
    EXPECT_EQ(box.owner, monitor.window());
    EXPECT_NE(box.text.find(L"ShellExecuteEx"), std::wstring::npos);
    EXPECT_NE(box.text.find(testing_support::systemText(ERROR_ACCESS_DENIED)), std::wstring::npos);
    EXPECT_EQ(stateOf(stopped.name()), DWORD(SERVICE_STOPPED));
    EXPECT_FALSE(monitor.dialog().elevatedCopyRunning());
}

// While the copy works the monitor's loop goes on: the tray answers, the
// copy's changes are the monitor's own (nothing is announced), other
// commands and the exit message wait for the copy's end, which refreshes
// the monitor.
TEST_F(ElevatedCommands, SlowTheMonitorWaitsForTheCopyWithoutBlocking) {
    ScopedService target(sandboxkit::uniqueName(L"qel4"), L"Elevation target", L"");
    ScopedService other(sandboxkit::uniqueName(L"qel5"), L"Elevation other", L"");
    sandboxkit::startAndWait(other.name());
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", target.name(), L"Elevation");
    packages.addService(L"t", L"p", other.name(), L"Elevation");
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDOK});
    monitor.command(ID_TRAY_CONTROL_PANEL);
    pumpFor(monitor, 300);
    check(monitor, L"Elevation", L"Elevation target");

    monitor.command(IDC_START);
    ASSERT_EQ(shellCalls.size(), 1u);
    const ShellCall call = shellCalls[0];
    EXPECT_EQ(call.verb, L"runas");
    EXPECT_EQ(call.file, ownProgram());
    EXPECT_EQ(call.parameters,
              L"elevated start " + std::to_wstring(reinterpret_cast<ULONG_PTR>(monitor.window())) + L" " +
                  target.name());
    EXPECT_EQ(call.owner, monitor.window());
    EXPECT_TRUE(call.mask & SEE_MASK_NOCLOSEPROCESS);
    ASSERT_TRUE(monitor.dialog().elevatedCopyRunning());

    // Refused, as a second command is while one runs.
    monitor.command(IDC_STOP);
    monitor.command(ID_TRAY_STOP);
    monitor.command(IDC_DELETE_SESSIONS);
    monitor.command(ID_TRAY_EXIT);
    EXPECT_EQ(shellCalls.size(), 1u);
    EXPECT_EQ(stateOf(other.name()), DWORD(SERVICE_RUNNING));

    // What the copy would do: the stop is the monitor's own, not announced.
    StopAnnouncer& announcer = monitor.app().liveState()->announcer();
    ASSERT_EQ(sandboxkit::controlService(other.name(), SERVICE_CONTROL_STOP), 0u);
    pumpFor(monitor, StopAnnouncer::kGatheringMs + 1000);
    EXPECT_EQ(announcer.balloonCount(), 0u);

    // The tray still answers; the exit message waits.
    monitor.command(IDC_HIDE);
    monitor.send(kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
    EXPECT_TRUE(::IsWindowVisible(monitor.window()));
    monitor.send(exitMessage());
    MSG quit;
    EXPECT_FALSE(::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));

    const unsigned updates = monitor.tray().updateCount();
    monitor.setStatus(L"marker");
    ASSERT_TRUE(::TerminateProcess(standInCopy.get(), kCopyDone));
    EXPECT_TRUE(pumpUntil(monitor, [&] { return !monitor.dialog().elevatedCopyRunning(); }, 5000));
    EXPECT_GT(monitor.tray().updateCount(), updates);
    EXPECT_EQ(monitor.status(), L"");
    EXPECT_TRUE(::PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the exit message was lost";
    EXPECT_TRUE(boxes.seen().empty());
    for (const TreeItem& item : childrenOf(monitor.tree(), L"Elevation"))
        if (item.text == L"Elevation other") {
            EXPECT_EQ(item.image, 1) << "the refresh after the copy";
        }

    // The copy's changes were its own only while it ran.
    sandboxkit::startAndWait(other.name());
    pumpFor(monitor, 500);
    ASSERT_EQ(sandboxkit::controlService(other.name(), SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(pumpUntil(monitor, [&] { return announcer.balloonCount() == 1; }, StopAnnouncer::kGatheringMs + 3000));
}

// A copy that refuses to run is logged; the monitor refreshes all the same.
TEST_F(ElevatedCommands, ACopyThatRefusedIsLogged) {
    PackagesSandbox packages;
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    monitor.command(IDC_START_WEBSITE);
    ASSERT_TRUE(monitor.dialog().elevatedCopyRunning());
    const size_t logged = testing_support::debugLogText().size();
    ASSERT_TRUE(::TerminateProcess(standInCopy.get(), kCopyForeignParent));
    EXPECT_TRUE(pumpUntil(monitor, [&] { return !monitor.dialog().elevatedCopyRunning(); }, 5000));
    const std::wstring log = testing_support::debugLogText().substr(logged);
    EXPECT_NE(log.find(L" Warning: The elevated copy did not run Start Quarn Control Panel website (exit code 3)"),
              std::wstring::npos);
}

// Start with nothing checked only refreshes, as it always did: there is
// nothing to ask the rights for.
TEST_F(ElevatedCommands, StartWithNothingCheckedAsksForNoRights) {
    PackagesSandbox packages;
    ActAsLimitedUser limited;
    OpenMonitor monitor;
    monitor.setStatus(L"marker");
    monitor.command(IDC_START);
    monitor.command(IDC_RESTART);
    EXPECT_TRUE(shellCalls.empty());
    EXPECT_EQ(monitor.status(), L"");
}

// With the full token the monitor acts itself, as it always has.
TEST_F(ElevatedCommands, AFullTokenMonitorActsItself) {
    ScopedService stopped(sandboxkit::uniqueName(L"qel6"), L"Elevation self", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", stopped.name(), L"Elevation");
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDOK});
    EXPECT_FALSE(monitor.dialog().showsShields());
    check(monitor, L"Elevation", L"Elevation self");
    monitor.command(IDC_START);
    EXPECT_TRUE(shellCalls.empty());
    EXPECT_EQ(stateOf(stopped.name()), DWORD(SERVICE_RUNNING));
    EXPECT_TRUE(boxes.seen().empty());
}

// The copy's own side: it selects only services of the catalogue it built
// itself, shows no tray icon, and its boxes belong to the monitor's window.
TEST(ElevatedCopy, SlowActsOnlyOnItsOwnCatalogueWithTheMonitorsBoxes) {
    ScopedService listed(sandboxkit::uniqueName(L"qec1"), L"Copy listed", L"");
    ScopedService unlisted(sandboxkit::uniqueName(L"qec2"), L"Copy unlisted", L"");
    ScopedService failing(sandboxkit::uniqueName(L"qec3"), L"Copy failing", L"--fail-start=1");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", listed.name(), L"Copy");
    packages.addService(L"t", L"p", failing.name(), L"Copy");
    HWND monitorWindow = ::CreateWindowExW(0, L"STATIC", L"monitor", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                           nullptr, nullptr);
    BoxAnswerer boxes(nullptr, {IDIGNORE});
    {
        TrayApp copy;
        EXPECT_EQ(copy.runElevatedCommand({ElevatedVerb::Start, monitorWindow, {listed.name(), unlisted.name()}}),
                  DWORD(kCopyDone));
        EXPECT_EQ(copy.trayIcon().addCount(), 0u);
        EXPECT_FALSE(trayIconAdded());
        ::DestroyWindow(copy.dialog()->handle());
    }
    EXPECT_EQ(stateOf(listed.name()), DWORD(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(unlisted.name()), DWORD(SERVICE_STOPPED));
    EXPECT_TRUE(boxes.seen().empty());
    {
        TrayApp copy;
        EXPECT_EQ(copy.runElevatedCommand({ElevatedVerb::Start, monitorWindow, {failing.name()}}),
                  DWORD(kCopyCommandFailed));
        ::DestroyWindow(copy.dialog()->handle());
    }
    ASSERT_EQ(boxes.seen().size(), 1u);
    EXPECT_EQ(boxes.seen()[0].caption, L"Start Copy failing");
    EXPECT_EQ(boxes.seen()[0].owner, monitorWindow);
    ::DestroyWindow(monitorWindow);
}

}  // namespace
