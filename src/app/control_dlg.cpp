#include "app/control_dlg.h"

#include "app/exit_message.h"
#include "app/tray_app.h"
#include "diagnostics/handles.h"
#include "resource_ids.h"

#include <windowsx.h>

ControlDlg::ControlDlg(TrayApp* owner) : owner_(owner) {}

LRESULT ControlDlg::processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
    if (window != handle()) {
        handled = false;
        return 0;
    }
    if (message == exitMessage()) {
        ::PostQuitMessage(0);
        return 0;
    }
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog();
    case WM_CLOSE:
        hide();
        return 0;
    case kTrayCallbackMessage:
        onTrayNotify(lParam);
        return 0;
    case WM_COMMAND:
        // Only clicks and menu choices: the whole wParam must be the id.
        if (HIWORD(wParam) == 0 && onCommand(LOWORD(wParam))) return 0;
        break;
    default:
        break;
    }
    handled = false;
    return 0;
}

LRESULT ControlDlg::onInitDialog() {
    owner_->trayIcon().setWindow(handle());
    owner_->trayIcon().refreshTrayIcon();
    HICON icon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_SERVICE_STARTED),
                                                 IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    ::SendMessageW(handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    return 0;
}

bool ControlDlg::onCommand(WORD id) {
    switch (id) {
    case IDC_HIDE:
        hide();
        return true;
    case IDC_REFRESH:
        owner_->trayIcon().refreshTrayIcon();
        return true;
    case ID_TRAY_CONTROL_PANEL:
        showMonitor();
        return true;
    case ID_TRAY_EXIT:
        ::PostQuitMessage(0);
        return true;
    default:
        return false;
    }
}

void ControlDlg::hide() {
    ::ShowWindow(handle(), SW_HIDE);
}

void ControlDlg::showMonitor() {
    ::ShowWindow(handle(), SW_SHOWNORMAL);
    ::SetForegroundWindow(handle());
    ::SetActiveWindow(handle());
    ::SetFocus(handle());
    ::PostMessageW(handle(), WM_COMMAND, IDC_REFRESH, 0);
}

void ControlDlg::onTrayNotify(LPARAM mouseMessage) {
    switch (mouseMessage) {
    case WM_LBUTTONUP:
        showMonitor();
        break;
    case WM_RBUTTONUP: {
        UniqueMenu menu(::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
        HMENU popup = ::GetSubMenu(menu.get(), 0);
        ::SetMenuDefaultItem(popup, ID_TRAY_CONTROL_PANEL, FALSE);
        ::SetForegroundWindow(handle());
        ::SetActiveWindow(handle());
        ::SetFocus(handle());
        const DWORD position = ::GetMessagePos();
        ::TrackPopupMenu(popup, TPM_RIGHTBUTTON, GET_X_LPARAM(position), GET_Y_LPARAM(position), 0, handle(),
                         nullptr);
        break;
    }
    default:
        break;
    }
}
