// Driving the real monitor dialog from a test: the TrayApp is opened in the
// test process (hidden dialog, real tray icon, real timer), messages are
// sent to its window, and message boxes are answered from another thread.
#pragma once

#include "app/tray_app.h"
#include "diagnostics/win32.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// One tree item as the control holds it.
struct TreeItem {
    std::wstring text;
    int image = -1;
    bool checked = false;
    HTREEITEM handle = nullptr;
    std::vector<TreeItem> children;
};

// The whole tree, roots in order, children in the control's order.
std::vector<TreeItem> readTree(HWND tree);
// The items under the root item `group` (none when there is no such group).
std::vector<TreeItem> childrenOf(HWND tree, const std::wstring& group);
// Sets an item's check box the way a click does (state image 2 or 1).
void setItemChecked(HWND tree, HTREEITEM item, bool checked);

// Dispatches the thread's queued messages for `milliseconds`.
void pumpMessages(DWORD milliseconds);

// A message box seen and answered by BoxAnswerer.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    int answer = 0;
    // The MB_ICON* value of the icon it shows (0 for none, or one that is
    // not a system icon), and the window that owns it.
    UINT icon = 0;
    HWND owner = nullptr;
};

// Watches the process's windows from a thread of its own and answers every
// message box (a "#32770" window other than `except`) with the next answer
// of the list (the last one repeats). Stops at the end of the scope.
class BoxAnswerer {
public:
    BoxAnswerer(HWND except, std::vector<int> answers);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    std::vector<SeenBox> seen() const;
    // Runs `action` on the watching thread right before each answer is
    // given (with the box still open).
    void beforeAnswer(std::function<void(const SeenBox&)> action) { beforeAnswer_ = std::move(action); }

private:
    void watch();

    HWND except_;
    std::vector<int> answers_;
    std::function<void(const SeenBox&)> beforeAnswer_;
    mutable std::mutex lock_;
    std::vector<SeenBox> seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The monitor opened in the test process. The dialog window is destroyed
// and the tray icon removed at the end of the scope.
class OpenMonitor {
public:
    OpenMonitor();
    ~OpenMonitor();
    OpenMonitor(const OpenMonitor&) = delete;
    OpenMonitor& operator=(const OpenMonitor&) = delete;

    TrayApp& app() { return app_; }
    ControlDlg& dialog() { return *app_.dialog(); }
    HWND window() { return app_.dialog()->handle(); }
    HWND tree() { return app_.dialog()->tree(); }
    TrayIcon& tray() { return app_.trayIcon(); }

    // SendMessage to the dialog.
    LRESULT send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // A click on a button or a menu choice (notification code 0).
    void command(WORD id) { send(WM_COMMAND, id, 0); }
    void tick() { send(WM_TIMER, 1, 0); }
    std::wstring status();
    void setStatus(const std::wstring& text);

private:
    TrayApp app_;
};

}  // namespace testing_support
