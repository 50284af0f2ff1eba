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

class TrayIcon {
public:
    // The window that owns the icon and receives its notifications.
    void setWindow(HWND window) { window_ = window; }
    HWND window() const { return window_; }

    // Adds the icon unless it has been added already. False when the
    // notification area refused it (the next update tries again).
    bool addTrayIcon();
    // Sets the picture for `state` and the tooltip "Quarn - " + `text`.
    bool updateTrayIcon(TrayState state, const std::wstring& text);
    // Picture and tooltip from the management service's state.
    void refreshTrayIcon();
    // The management service's picture with `text` as the tooltip.
    void showTrayText(const std::wstring& text);
    // Takes the icon off the notification area.
    void removeTrayIcon();

    // Started, Stopped or Disabled; a service that cannot be queried counts
    // as Disabled.
    static TrayState managementServiceState();
    static const wchar_t* stateText(TrayState state);

private:
    HWND window_ = nullptr;
};

// True once the icon has been added in this process.
bool trayIconAdded();
