#include "diagnostics/exceptions.h"
#include "resource_ids.h"
#include "test_support.h"
#include "ui/dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A dialog built from the program's real template that records what reaches it.
class RecordingDlg : public VDlg {
public:
    std::vector<UINT> seen;
    LRESULT processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) override {
        seen.push_back(message);
        return VDlg::processMessage(window, message, wParam, lParam, handled);
    }
};

// A second handler with a scripted answer for one message.
class ScriptedHandler : public VWnd {
public:
    ScriptedHandler(UINT message, LRESULT result, bool handles) : message_(message), result_(result), handles_(handles) {}
    int calls = 0;
    LRESULT processMessage(HWND, UINT message, WPARAM, LPARAM, bool& handled) override {
        if (message != message_) {
            handled = false;
            return 0;
        }
        ++calls;
        handled = handles_;
        return result_;
    }

private:
    UINT message_;
    LRESULT result_;
    bool handles_;
};

class ThrowingHandler : public VWnd {
public:
    LRESULT processMessage(HWND, UINT message, WPARAM, LPARAM, bool& handled) override {
        if (message == WM_COMMAND) throw std::length_error("list<T> too long");
        handled = false;
        return 0;
    }
};

constexpr UINT kProbe = WM_APP + 7;

}  // namespace

TEST(WindowFramework, DialogIsBoundAtInitAndCreatedHiddenFromTemplate) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    ASSERT_NE(dialog.handle(), nullptr);
    EXPECT_TRUE(dialog.owned());
    EXPECT_FALSE(::IsWindowVisible(dialog.handle()));
    ASSERT_FALSE(dialog.seen.empty());
    EXPECT_EQ(handlerCount(dialog.handle()), 1u);
    wchar_t caption[64];
    ::GetWindowTextW(dialog.handle(), caption, 64);
    EXPECT_STREQ(caption, L"Quarn Services Monitor");
    ::DestroyWindow(dialog.handle());
}

TEST(WindowFramework, HandlersAreAskedInOrderUntilOneHandles) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    ScriptedHandler declines(kProbe, 11, false);
    ScriptedHandler accepts(kProbe, 22, true);
    ScriptedHandler never(kProbe, 33, true);
    registerHandler(dialog.handle(), &declines, false);
    registerHandler(dialog.handle(), &accepts, false);
    registerHandler(dialog.handle(), &never, false);

    bool handled = true;
    EXPECT_EQ(dispatchMessage(dialog.handle(), kProbe, 0, 0, handled), 22);
    EXPECT_TRUE(handled);
    EXPECT_EQ(declines.calls, 1);
    EXPECT_EQ(accepts.calls, 1);
    EXPECT_EQ(never.calls, 0);

    // A handler put in front is asked first.
    ScriptedHandler front(kProbe, 44, true);
    registerHandler(dialog.handle(), &front, true);
    EXPECT_EQ(dispatchMessage(dialog.handle(), kProbe, 0, 0, handled), 44);
    EXPECT_EQ(accepts.calls, 1);
    ::DestroyWindow(dialog.handle());
}

TEST(WindowFramework, UnhandledMessageAndUnknownWindowGiveZeroAndNotHandled) {
    bool handled = true;
    EXPECT_EQ(dispatchMessage(reinterpret_cast<HWND>(0x1234), kProbe, 0, 0, handled), 0);
    EXPECT_FALSE(handled);

    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    ScriptedHandler declines(kProbe, 11, false);
    registerHandler(dialog.handle(), &declines, false);
    handled = true;
    EXPECT_EQ(dispatchMessage(dialog.handle(), kProbe, 0, 0, handled), 0);  // the declined result is dropped
    EXPECT_FALSE(handled);
    ::DestroyWindow(dialog.handle());
}

TEST(WindowFramework, DestroyDropsTheWindowsHandlers) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    HWND window = dialog.handle();
    ScriptedHandler probe(kProbe, 1, true);
    registerHandler(window, &probe, false);
    ::DestroyWindow(window);
    EXPECT_EQ(handlerCount(window), 0u);
    bool handled = true;
    dispatchMessage(window, kProbe, 0, 0, handled);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_FALSE(handled);
}

TEST(WindowFramework, EndOfLifeUnregistersTheObjectEverywhere) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    {
        ScriptedHandler shortLived(kProbe, 1, true);
        registerHandler(dialog.handle(), &shortLived, true);
        EXPECT_EQ(handlerCount(dialog.handle()), 2u);
    }
    EXPECT_EQ(handlerCount(dialog.handle()), 1u);
    bool handled = true;
    dispatchMessage(dialog.handle(), kProbe, 0, 0, handled);
    EXPECT_FALSE(handled);
    ::DestroyWindow(dialog.handle());
}

TEST(WindowFramework, ColorMessagesReturnTheResultDirectlyOthersThroughMsgResult) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    HBRUSH brush = static_cast<HBRUSH>(::GetStockObject(GRAY_BRUSH));
    ScriptedHandler color(WM_CTLCOLORSTATIC, reinterpret_cast<LRESULT>(brush), true);
    ScriptedHandler command(WM_COMMAND, 5, true);
    registerHandler(dialog.handle(), &color, true);
    registerHandler(dialog.handle(), &command, true);

    EXPECT_EQ(VDlg::DialogProc(dialog.handle(), WM_CTLCOLORSTATIC, 0, 0), reinterpret_cast<INT_PTR>(brush));
    EXPECT_EQ(VDlg::DialogProc(dialog.handle(), WM_COMMAND, 4242, 0), TRUE);
    EXPECT_EQ(::GetWindowLongPtrW(dialog.handle(), DWLP_MSGRESULT), 5);
    // Through the window itself, the dialog manager hands the stored result back.
    EXPECT_EQ(::SendMessageW(dialog.handle(), WM_COMMAND, 4242, 0), 5);
    ::DestroyWindow(dialog.handle());
}

TEST(WindowFramework, ReattachingDestroysOnlyAnOwnedWindow) {
    HWND first = ::CreateWindowExW(0, L"STATIC", L"a", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND second = ::CreateWindowExW(0, L"STATIC", L"b", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND third = ::CreateWindowExW(0, L"STATIC", L"c", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    VWnd owner;
    owner.attach(first, true);
    owner.attach(second, false);
    EXPECT_FALSE(::IsWindow(first));
    owner.attach(third, false);
    EXPECT_TRUE(::IsWindow(second));
    ::DestroyWindow(second);
    ::DestroyWindow(third);
}

TEST(WindowFramework, ErrorInHandlerIsShownInRuntimeErrorBox) {
    RecordingDlg dialog;
    dialog.create(IDD_CONTROL_DLG, nullptr);
    ThrowingHandler thrower;
    registerHandler(dialog.handle(), &thrower, true);

    std::wstring boxText;
    std::atomic<bool> closed{false};
    std::thread watcher([&] {
        HWND box = nullptr;
        testing_support::waitUntil([&] { return (box = ::FindWindowW(L"#32770", L"Runtime error")) != nullptr; },
                                   10000);
        if (!box) return;
        wchar_t text[2048] = {};
        ::GetDlgItemTextW(box, 0xFFFF, text, 2048);
        boxText = text;
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        closed = true;
    });
    const LRESULT result = ::SendMessageW(dialog.handle(), WM_COMMAND, 1, 0);
    watcher.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(result, 0);
    EXPECT_NE(boxText.find(L"list<T> too long"), std::wstring::npos) << std::string(boxText.begin(), boxText.end());
    EXPECT_NE(boxText.find(L"at Process msg 273(VDlg::DialogProc line 106)"), std::wstring::npos);
    ::DestroyWindow(dialog.handle());
}
