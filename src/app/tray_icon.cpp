#include "app/tray_icon.h"

#include "app/resource_text.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "resource_ids.h"
#include "services/service_query.h"
#include "ui/display_scale.h"

#include <shellapi.h>

#include <algorithm>
#include <iterator>

namespace {

bool iconAdded = false;

const wchar_t kManagementService[] = L"quarnsrv";

WORD iconFor(TrayState state) {
    switch (state) {
    case TrayStarted: return IDI_TRAY_STARTED;
    case TrayStopped: return IDI_TRAY_STOPPED;
    default: return IDI_TRAY_DISABLED;
    }
}

NOTIFYICONDATAW iconData(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kTrayIconId;
    return data;
}

}  // namespace

UINT taskbarCreatedMessage() {
    static const UINT message = ::RegisterWindowMessageW(L"TaskbarCreated");
    return message;
}

bool trayIconAdded() {
    return iconAdded;
}

bool TrayIcon::addTrayIcon() {
    if (offArea_ || retired_) return false;
    if (iconAdded) return true;
    ++adds_;
    NOTIFYICONDATAW data = iconData(window_);
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = loadSmallIcon(IDI_TRAY_STARTED, dpi());
    data.dwInfoFlags = NIIF_INFO;
    // "TaskbarCreated" also arrives while the icon still exists (some DPI and
    // theme changes, or any process's broadcast): NIM_ADD then fails, and
    // the icon that is there is taken over with NIM_MODIFY.
    if (!::Shell_NotifyIconW(NIM_ADD, &data) && !::Shell_NotifyIconW(NIM_MODIFY, &data)) return false;
    iconAdded = true;
    // Version 3 keeps the callback's form (lParam: the mouse message) and
    // adds NIN_SELECT, NIN_KEYSELECT and WM_CONTEXTMENU for the keyboard.
    data.uVersion = NOTIFYICON_VERSION;
    keyboardAware_ = ::Shell_NotifyIconW(NIM_SETVERSION, &data) != FALSE;
    return true;
}

UINT TrayIcon::dpi() const {
    return dpi_ ? dpi_ : windowDpi(window_);
}

bool TrayIcon::readdTrayIcon() {
    iconAdded = false;
    return addTrayIcon();
}

bool TrayIcon::updateTrayIcon(TrayState state, const std::wstring& text) {
    ++updates_;
    lastState_ = state;
    const std::wstring tip = format(loadResourceString(IDS_TRAY_TIP).c_str(), text.c_str());
    NOTIFYICONDATAW data = iconData(window_);
    const size_t length = std::min(tip.size(), std::size(data.szTip) - 1);
    lastTip_ = tip.substr(0, length);
    if (!addTrayIcon()) return false;
    data.uFlags = NIF_ICON | NIF_TIP;
    data.hIcon = loadSmallIcon(iconFor(state), dpi());
    lastIcon_ = data.hIcon;
    std::copy_n(tip.c_str(), length, data.szTip);
    data.szTip[length] = L'\0';
    if (::Shell_NotifyIconW(NIM_MODIFY, &data)) return true;
    // The notification area no longer holds the icon (it was re-created and
    // its "TaskbarCreated" never came, or the icon was taken away): added
    // again now, not left missing for the rest of the run.
    iconAdded = false;
    if (!addTrayIcon()) return false;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

void TrayIcon::refreshTrayIcon() {
    const TrayState state = managementServiceState();
    updateTrayIcon(state, stateText(state));
}

void TrayIcon::showTrayText(const std::wstring& text) {
    updateTrayIcon(managementServiceState(), text);
}

void TrayIcon::removeTrayIcon() {
    if (offArea_) return;
    NOTIFYICONDATAW data = iconData(window_);
    ::Shell_NotifyIconW(NIM_DELETE, &data);
    iconAdded = false;
}

void TrayIcon::retire() {
    retired_ = true;
    removeTrayIcon();
}

const wchar_t* TrayIcon::stateText(TrayState state) {
    switch (state) {
    case TrayStarted: return L"Started";
    case TrayStopped: return L"Stopped";
    default: return L"Disabled";
    }
}

TrayState TrayIcon::managementServiceState() {
    try {
        switch (service::effStatus(kManagementService)) {
        case 0: return TrayStarted;
        case 1: return TrayStopped;
        default: return TrayDisabled;
        }
    } catch (const vexception&) {
        return TrayDisabled;
    }
}
