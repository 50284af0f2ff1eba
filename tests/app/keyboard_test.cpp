#include "app/control_dlg.h"

#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <thread>
#include <vector>

using sandboxkit::ScopedService;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;
using testing_support::readTree;
using testing_support::TreeItem;

namespace {

// Dispatches queued messages the way the program's loop does: through the
// dialog manager first, which turns keys into focus moves and commands.
void pumpDialog(HWND dialog, DWORD milliseconds) {
    const ULONGLONG end = ::GetTickCount64() + milliseconds;
    do {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (::IsDialogMessageW(dialog, &message)) continue;
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    } while (::GetTickCount64() < end);
}

// A key press as the keyboard driver posts it to the focused window.
void pressKey(WORD key) {
    const HWND focus = ::GetFocus();
    const UINT scan = ::MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    ::PostMessageW(focus, WM_KEYDOWN, key, 1 | (scan << 16));
    ::PostMessageW(focus, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

// Alt held with a letter: the dialog manager reads it as a mnemonic.
void pressAlt(wchar_t letter) {
    const UINT scan = ::MapVirtualKeyW(static_cast<UINT>(std::towupper(letter)), MAPVK_VK_TO_VSC);
    ::PostMessageW(::GetFocus(), WM_SYSCHAR, letter, 1 | (scan << 16) | (1u << 29));
}

// The monitor shown and focused on its tree, as a user finds it.
struct ShownMonitor {
    PackagesSandbox packages;
    OpenMonitor monitor;
    ShownMonitor() {
        ::KillTimer(monitor.window(), 1);
        monitor.dialog().showMonitor();
        pumpDialog(monitor.window(), 300);
        ::SetFocus(monitor.tree());
    }
};

std::wstring text(HWND window) {
    wchar_t buffer[256] = {};
    ::GetWindowTextW(window, buffer, 256);
    return buffer;
}

// Sees the commands the buttons send, and keeps them from running.
class CommandSpy : public VWnd {
public:
    std::vector<WPARAM> commands;
    LRESULT processMessage(HWND, UINT message, WPARAM wParam, LPARAM, bool& handled) override {
        handled = message == WM_COMMAND;
        if (handled) commands.push_back(wParam);
        return 0;
    }
};

TEST(Keyboard, SpaceOnAGroupRowChecksItsServices) {
    ScopedService first(sandboxkit::uniqueName(L"qkb1"), L"Key first", L"");
    ScopedService second(sandboxkit::uniqueName(L"qkb2"), L"Key second", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"k", L"p");
    packages.addService(L"k", L"p", first.name(), L"Keys");
    packages.addService(L"k", L"p", second.name(), L"Keys");
    OpenMonitor monitor;
    monitor.dialog().showMonitor();
    pumpDialog(monitor.window(), 300);
    HTREEITEM group = nullptr;
    for (const TreeItem& item : readTree(monitor.tree()))
        if (item.text == L"Keys") group = item.handle;
    ASSERT_NE(group, nullptr);
    ::SetFocus(monitor.tree());
    ::SendMessageW(monitor.tree(), TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(group));

    for (bool checked : {true, false}) {
        pressKey(VK_SPACE);
        pumpDialog(monitor.window(), 400);  // a timer tick carries it down
        for (const TreeItem& item : readTree(monitor.tree())) {
            if (item.text != L"Keys") continue;
            EXPECT_EQ(item.checked, checked);
            ASSERT_EQ(item.children.size(), 2u);
            for (const TreeItem& service : item.children) EXPECT_EQ(service.checked, checked) << "Space " << checked;
        }
    }
    // The focused row moved nowhere and no row lost its text.
    EXPECT_EQ(reinterpret_cast<HTREEITEM>(::SendMessageW(monitor.tree(), TVM_GETNEXTITEM, TVGN_CARET, 0)), group);
}

TEST(Keyboard, EveryButtonHasItsOwnMnemonicThatRunsItsCommand) {
    ShownMonitor shown;
    OpenMonitor& monitor = shown.monitor;
    const std::map<int, std::wstring> captions{
        {IDC_SELECT_ALL, L"Select All"}, {IDC_CLEAR_ALL, L"Clear All"},   {IDC_START, L"Start"},
        {IDC_STOP, L"Stop"},             {IDC_RESTART, L"Restart"},       {IDC_REFRESH, L"Refresh"},
        {IDC_START_WEBSITE, L"Start Quarn website"}, {IDC_STOP_WEBSITE, L"Stop Quarn website"},
        {IDC_DELETE_SESSIONS, L"Delete Sessions"},   {IDC_HIDE, L"Hide"}};
    std::map<wchar_t, int> owners;
    for (const auto& [id, caption] : captions) {
        std::wstring label = text(::GetDlgItem(monitor.window(), id));
        const size_t amp = label.find(L'&');
        ASSERT_NE(amp, std::wstring::npos) << "no mnemonic on " << id;
        const wchar_t key = static_cast<wchar_t>(std::towlower(label.at(amp + 1)));
        EXPECT_TRUE(owners.emplace(key, id).second) << "mnemonic of " << id << " used twice";
        EXPECT_EQ(label.erase(amp, 1), caption) << "the caption reads the same";
    }

    {
        CommandSpy spy;  // leaves the window's handlers at the end of the scope
        registerHandler(monitor.window(), &spy, true);
        for (const auto& [key, id] : owners) {
            spy.commands.clear();
            ::SetFocus(monitor.tree());
            pressAlt(key);
            pumpDialog(monitor.window(), 100);
            EXPECT_EQ(spy.commands, std::vector<WPARAM>{static_cast<WPARAM>(id)}) << "Alt+" << char(key);
        }
        spy.commands.clear();
        pressAlt(L'z');  // no button has it
        pumpDialog(monitor.window(), 100);
        EXPECT_TRUE(spy.commands.empty());
    }

    // Unobserved, Alt+A really checks every row.
    ::SetFocus(monitor.tree());
    pressAlt(L'a');
    pumpDialog(monitor.window(), 100);
    for (const TreeItem& group : readTree(monitor.tree())) EXPECT_TRUE(group.checked) << "Select All";
}

TEST(Keyboard, EscapeHidesTheDialogAsCloseDoes) {
    ShownMonitor shown;
    ASSERT_TRUE(::IsWindowVisible(shown.monitor.window()));
    pressKey(VK_ESCAPE);
    pumpDialog(shown.monitor.window(), 200);
    EXPECT_FALSE(::IsWindowVisible(shown.monitor.window()));
    EXPECT_TRUE(::IsWindow(shown.monitor.window())) << "the program goes on";
}

// The controls a Tab reaches, in reading order: top to bottom, and left to
// right for controls whose tops are level.
std::vector<HWND> visualOrder(HWND dialog) {
    std::vector<std::pair<RECT, HWND>> controls;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        const LONG style = ::GetWindowLongW(child, GWL_STYLE);
        if (!(style & WS_TABSTOP) || !(style & WS_VISIBLE) || (style & WS_DISABLED)) continue;
        RECT place{};
        ::GetWindowRect(child, &place);
        controls.emplace_back(place, child);
    }
    std::sort(controls.begin(), controls.end(), [](const auto& a, const auto& b) {
        return a.first.top != b.first.top ? a.first.top < b.first.top : a.first.left < b.first.left;
    });
    std::vector<HWND> order;
    for (const auto& control : controls) order.push_back(control.second);
    return order;
}

TEST(Keyboard, TabVisitsTheControlsInVisualOrderTreeFirst) {
    ShownMonitor shown;
    const HWND dialog = shown.monitor.window();
    const std::vector<HWND> expected = visualOrder(dialog);
    ASSERT_EQ(expected.size(), 11u);  // the tree and ten buttons
    EXPECT_EQ(expected.front(), shown.monitor.tree());
    std::vector<HWND> visited{::GetFocus()};
    for (size_t i = 0; i < expected.size(); ++i) {
        pressKey(VK_TAB);
        pumpDialog(dialog, 60);
        visited.push_back(::GetFocus());
    }
    std::vector<HWND> cycle = expected;
    cycle.push_back(expected.front());  // and round again
    EXPECT_EQ(visited, cycle);
}

struct MenuWatch {
    std::atomic<int> opened{0};
    std::atomic<bool> stop{false};
};

BOOL CALLBACK findPopup(HWND window, LPARAM context) {
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

// Counts the popup menus the dialog opens and closes each with Esc.
int menusOpenedBy(OpenMonitor& monitor, const std::vector<LPARAM>& notifications) {
    MenuWatch watch;
    std::thread closer([&] {
        HWND last = nullptr;
        while (!watch.stop) {
            HWND menu = nullptr;
            ::EnumWindows(&findPopup, reinterpret_cast<LPARAM>(&menu));
            if (menu && menu != last) ++watch.opened;
            if (menu) ::PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
            last = menu;
            ::Sleep(20);
        }
    });
    for (LPARAM notification : notifications) monitor.send(kTrayCallbackMessage, kTrayIconId, notification);
    testing_support::pumpMessages(200);
    watch.stop = true;
    closer.join();
    return watch.opened;
}

TEST(Keyboard, TrayIconAnswersTheKeyboardAndEachClickOnce) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    ::KillTimer(monitor.window(), 1);
    EXPECT_TRUE(monitor.tray().keyboardAware()) << "the notification area took version 3";

    // Enter on the icon (NIN_KEYSELECT), or a selection (NIN_SELECT), opens
    // the dialog like a click; a click followed by its NIN_SELECT opens it once.
    const std::vector<std::vector<LPARAM>> opening{{NIN_KEYSELECT}, {NIN_SELECT}, {WM_LBUTTONUP, NIN_SELECT}};
    for (const auto& sequence : opening) {
        monitor.send(WM_CLOSE);
        const unsigned updates = monitor.tray().updateCount();
        for (LPARAM notification : sequence) monitor.send(kTrayCallbackMessage, kTrayIconId, notification);
        EXPECT_TRUE(::IsWindowVisible(monitor.window())) << sequence.back();
        testing_support::pumpMessages(200);
        EXPECT_EQ(monitor.tray().updateCount(), updates + 1) << "one refresh for " << sequence.size();
    }
    // Shift+F10 or the menu key (WM_CONTEXTMENU) opens the menu; a right
    // click followed by its WM_CONTEXTMENU opens it once.
    EXPECT_EQ(menusOpenedBy(monitor, {WM_CONTEXTMENU}), 1);
    EXPECT_EQ(menusOpenedBy(monitor, {WM_RBUTTONUP, WM_CONTEXTMENU}), 1);
}

}  // namespace
