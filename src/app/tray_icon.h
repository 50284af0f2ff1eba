// The notification-area icon: its picture and tooltip show the state of the
// management service "quarnsrv", or the progress of a service operation.
#pragma once

#include "diagnostics/win32.h"

#include <string>

enum TrayState : int {
    TrayStarted = 0,
    TrayStopped = 1,
    TrayDisabled = 2,
};

// The callback message the icon sends to its window.
constexpr UINT kTrayCallbackMessage = WM_USER + 1;
constexpr UINT kTrayIconId = 1;

// The number of the "TaskbarCreated" message, which the shell broadcasts to
// every top-level window when the notification area has been (re)created.
UINT taskbarCreatedMessage();

class TrayIcon {
public:
    // The window that owns the icon and receives its notifications.
    void setWindow(HWND window) { window_ = window; }
    HWND window() const { return window_; }
    // The DPI the picture is drawn for: the owner window's, which the window
    // passes on at start and whenever its scale changes (a remote session
    // reconnecting at another scale); the next update then hands over a
    // picture of the new size. Until set, the window's own DPI.
    void setDpi(UINT dpi) { dpi_ = dpi; }
    UINT dpi() const;

    // An elevated copy shows no icon: adds, updates and removals are left
    // out from then on.
    void keepOffNotificationArea() { offArea_ = true; }

    // Adds the icon unless it has been added already; an icon of this window
    // and id that is there already is taken over. False when the
    // notification area refused it (the next update tries again). Asks for
    // the behaviour of version 3 of the notification area, which reports
    // the keyboard too (NIN_KEYSELECT, WM_CONTEXTMENU); whether it accepted
    // is keyboardAware().
    bool addTrayIcon();
    // The notification area was re-created and has lost the icon: adds it
    // again (on failure the next update retries the add).
    bool readdTrayIcon();
    // Sets the picture for `state` and the tooltip "Quarn - " + `text`, cut
    // to the 127 characters the notification area holds. When the
    // notification area refuses the change because it lost the icon, the
    // icon is added again and the change made once more.
    bool updateTrayIcon(TrayState state, const std::wstring& text);
    // Picture and tooltip from the management service's state.
    void refreshTrayIcon();
    // The management service's picture with `text` as the tooltip.
    void showTrayText(const std::wstring& text);
    // Takes the icon off the notification area; a later update adds it anew.
    void removeTrayIcon();
    // Takes the icon off for good: the session ends, and the process may be
    // ended at any moment. Later adds and updates do nothing.
    void retire();

    // Started, Stopped or Disabled from the effective status of "quarnsrv";
    // any product error counts as Disabled, other errors leave.
    static TrayState managementServiceState();
    static const wchar_t* stateText(TrayState state);

    // What the last update handed to the notification area (whether or not
    // it accepted it), and how many updates and adds were attempted.
    TrayState lastState() const { return lastState_; }
    const std::wstring& lastTip() const { return lastTip_; }
    unsigned updateCount() const { return updates_; }
    unsigned addCount() const { return adds_; }
    // The picture of the last update (shared, see loadSmallIcon).
    HICON lastIcon() const { return lastIcon_; }
    bool keyboardAware() const { return keyboardAware_; }

private:
    HWND window_ = nullptr;
    bool offArea_ = false;
    UINT dpi_ = 0;
    HICON lastIcon_ = nullptr;
    bool keyboardAware_ = false;
    TrayState lastState_ = TrayDisabled;
    std::wstring lastTip_;
    unsigned updates_ = 0;
    unsigned adds_ = 0;
    bool retired_ = false;
};

// True once the icon has been added in this process.
bool trayIconAdded();
