#include "app/tray_icon.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "resource_ids.h"

#include <shellapi.h>

#include <cwchar>

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

HICON loadIcon(WORD id) {
    // Shared icons from the module's resources: never destroyed.
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON,
                                           ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON),
                                           LR_SHARED));
}

std::wstring loadString(UINT id) {
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

}  // namespace

bool trayIconAdded() {
    return iconAdded;
}

bool TrayIcon::addTrayIcon() {
    if (iconAdded) return true;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.hIcon = loadIcon(IDI_TRAY_STARTED);
    data.dwInfoFlags = NIIF_INFO;
    if (!::Shell_NotifyIconW(NIM_ADD, &data)) return false;
    iconAdded = true;
    return true;
}

bool TrayIcon::updateTrayIcon(TrayState state, const std::wstring& text) {
    if (!addTrayIcon()) return false;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = kTrayIconId;
    data.uFlags = NIF_ICON | NIF_TIP;
    data.hIcon = loadIcon(iconFor(state));
    const std::wstring tip = format(loadString(IDS_TRAY_TIP).c_str(), text.c_str());
    wcsncpy(data.szTip, tip.c_str(), std::size(data.szTip) - 1);
    data.szTip[std::size(data.szTip) - 1] = L'\0';
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
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window_;
    data.uID = kTrayIconId;
    ::Shell_NotifyIconW(NIM_DELETE, &data);
}

const wchar_t* TrayIcon::stateText(TrayState state) {
    switch (state) {
    case TrayStarted: return L"Started";
    case TrayStopped: return L"Stopped";
    default: return L"Disabled";
    }
}

TrayState TrayIcon::managementServiceState() {
    // Filled in with the service queries.
    (void)kManagementService;
    return TrayDisabled;
}
