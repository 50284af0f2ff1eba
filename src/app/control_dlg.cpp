#include "app/control_dlg.h"

#include "app/exit_message.h"
#include "app/resource_text.h"
#include "app/tray_app.h"
#include "resource_ids.h"
#include "services/service_query.h"
#include "threading/cancelation_point.h"
#include "ui/check_tree.h"
#include "ui/message_filter.h"

#include <shellapi.h>
#include <windowsx.h>

#include <exception>
#include <set>
#include <utility>

namespace {

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 100;
// The tray icon is refreshed when the tick counter exceeds this.
constexpr int kTrayRefreshTicks = 100;

// Fixed pictures of the image list, indexed by a service's effective status
// (control_dlg_scale.cpp draws them).
constexpr int kDisabledPicture = 2;
constexpr int kFixedPictures = 3;

constexpr UINT kStateImageMask = 0xF000;
constexpr UINT kUncheckedState = INDEXTOSTATEIMAGEMASK(1);
constexpr UINT kCheckedState = INDEXTOSTATEIMAGEMASK(2);

// Process-wide, like the timer it counts for.
int timerTicks = 0;

int effectiveStatusPicture(const std::wstring& service) {
    try {
        return service::effStatus(service);
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;
    } catch (...) {
        return kDisabledPicture;
    }
}

HTREEITEM insertItem(HWND tree, HTREEITEM parent, HTREEITEM after, const std::wstring& text) {
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = after;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.lParam = 0;
    return reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
}

void setPicture(HWND tree, HTREEITEM item, int picture) {
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    data.hItem = item;
    data.iImage = picture;
    data.iSelectedImage = picture;
    ::SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
}

// What a screen reader says of a row besides its text and check box: the
// state its picture shows ("Started", "Stopped" or "Disabled", the effective
// status the fixed pictures stand for); nothing for a group.
std::wstring describeRow(HWND tree, HTREEITEM item) {
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_IMAGE;
    data.hItem = item;
    if (!::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data))) return std::wstring();
    if (data.iImage < 0 || data.iImage >= kFixedPictures) return std::wstring();
    return TrayIcon::stateText(static_cast<TrayState>(data.iImage));
}

}  // namespace

ControlDlg::ControlDlg(TrayApp* owner) : owner_(owner) {}

LRESULT ControlDlg::processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled) {
    if (window != handle()) {
        handled = false;
        return 0;
    }
    if (message == exitMessage()) {
        // A message box of a running command pumps messages: the command
        // ends first, its boxes answered by the user.
        if (busy())
            exitAfterCommand_ = true;
        else
            ::PostQuitMessage(0);
        return 0;
    }
    if (message == taskbarCreatedMessage()) {
        // The notification area was re-created without our icon.
        owner_->trayIcon().readdTrayIcon();
        owner_->trayIcon().refreshTrayIcon();
        return 0;
    }
    switch (message) {
    case WM_INITDIALOG:
        return onInitDialog();
    case WM_CLOSE:
        hide();
        return 0;
    case WM_TIMER:
        onTimer();
        return 0;
    case WM_DPICHANGED:
        // wParam: the new DPI (x in the low word); lParam: the proposed
        // window rectangle.
        onDpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case kTrayCallbackMessage:
        // A message box of a running command pumps messages: the command
        // owns the catalogue until it ends.
        if (!commandRunning_) onTrayNotify(lParam);
        return 0;
    case WM_COMMAND:
        // Only clicks and menu choices: the whole wParam must be the id.
        if (wParam > 0xFFFF) break;
        if (commandRunning_) return 0;
        if (elevated_.running() && !windowOnlyCommand(static_cast<WORD>(wParam))) return 0;
        {
            // Also when the command leaves with an error.
            struct QuitWhenAsked {
                const ControlDlg& dialog;
                ~QuitWhenAsked() {
                    if (dialog.exitAfterCommand_ && !dialog.elevated_.running()) ::PostQuitMessage(0);
                }
            } quit{*this};
            if (onCommand(static_cast<WORD>(wParam))) return 0;
        }
        break;
    case WM_QUERYENDSESSION:
        // Nothing is refused: there is nothing to save.
        return TRUE;
    case WM_ENDSESSION:
        if (wParam) endSession();
        return 0;
    case kElevatedCopyEnded:
        elevatedCopyEnded();
        return 0;
    default:
        break;
    }
    handled = false;
    return 0;
}

LRESULT ControlDlg::onInitDialog() {
    // An elevated monitor still hears the shell's "TaskbarCreated" and the
    // `exit` of an ordinary prompt. Every monitor's window is made here.
    allowFromAnyIntegrityLevel(handle(), exitMessage());
    allowFromAnyIntegrityLevel(handle(), taskbarCreatedMessage());
    // The dialog manager laid the template out at the DPI of the window's
    // monitor; pictures follow it.
    dpi_ = windowDpi(handle());
    layout_.capture(handle(), dpi_);
    showShields();
    buildImageList();
    tree_.attach(::GetDlgItem(handle(), IDC_SERVICE_TREE), false);
    ::SendMessageW(tree_.handle(), TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images_.get()));
    attachCheckTree(tree_.handle(), &describeRow);
    owner_->trayIcon().setWindow(handle());
    owner_->trayIcon().setDpi(dpi_);
    // The icon first: the catalogue's first build asks the service manager
    // about every product service, which takes a while.
    owner_->trayIcon().refreshTrayIcon();

    // A failed first refresh is reported like any other, but the window
    // icon and the timer are set all the same.
    std::exception_ptr failure;
    try {
        refreshServices();
    } catch (...) {
        failure = std::current_exception();
    }
    setWindowIcons();
    ::SetTimer(handle(), kTimerId, kTimerPeriodMs, nullptr);
    if (failure) std::rethrow_exception(failure);
    return 0;
}

bool ControlDlg::onCommand(WORD id) {
    if (handOverToElevatedCopy(id)) return true;
    switch (id) {
    case IDC_SELECT_ALL:
        checkAll(true);
        return true;
    case IDC_CLEAR_ALL:
        checkAll(false);
        return true;
    case IDC_HIDE:
    case IDCANCEL:  // Esc, through the dialog manager
        hide();
        return true;
    case IDC_REFRESH:
        refreshServices();
        return true;
    case IDC_START:
        controlServices(true, false, nullptr);
        return true;
    case IDC_STOP:
        controlServices(false, false, nullptr);
        return true;
    case IDC_RESTART:
        restartChecked();
        return true;
    case ID_TRAY_START:
    case ID_TRAY_STOP:
        controlServices(id == ID_TRAY_START, true, nullptr);
        refreshServices();
        owner_->trayIcon().refreshTrayIcon();
        return true;
    case ID_TRAY_RESTART:
        restartAll();
        return true;
    case IDC_START_WEBSITE:
        startWebsite();
        return true;
    case IDC_STOP_WEBSITE:
        stopWebsite();
        return true;
    case IDC_DELETE_SESSIONS:
        deleteSessions();
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

void ControlDlg::endSession() {
    // Once WM_ENDSESSION has been answered the process may be ended at any
    // moment (at logoff), so the icon goes now, and the timer stops adding it.
    // A command whose box was open goes no further (see controlService),
    // and nothing it still does brings the icon back.
    sessionEnding_ = true;
    ::KillTimer(handle(), kTimerId);
    owner_->trayIcon().retire();
    ::PostQuitMessage(0);
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
    // A notification area of version 3 follows a left click with NIN_SELECT
    // and a right click with WM_CONTEXTMENU; the keyboard (Enter, Space,
    // Shift+F10, the menu key) sends those alone. Each click is answered once.
    if (mouseMessage == WM_MOUSEMOVE) return;
    const LPARAM answered = std::exchange(answeredClick_, 0);
    switch (mouseMessage) {
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
        if (owner_->trayIcon().keyboardAware()) answeredClick_ = mouseMessage;
        break;
    case NIN_SELECT:
        if (answered == WM_LBUTTONUP) return;
        break;
    case WM_CONTEXTMENU:
        if (answered == WM_RBUTTONUP) return;
        break;
    default:
        break;
    }
    switch (mouseMessage) {
    case WM_LBUTTONUP:
    case NIN_SELECT:
    case NIN_KEYSELECT:
    case NIN_BALLOONUSERCLICK:
        showMonitor();
        break;
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU: {
        UniqueMenu menu(::LoadMenuW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_TRAY_MENU)));
        HMENU popup = ::GetSubMenu(menu.get(), 0);
        ::SetMenuDefaultItem(popup, ID_TRAY_CONTROL_PANEL, FALSE);
        shieldMenuItems(popup);
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

bool ControlDlg::isChecked(HTREEITEM item) const {
    const LRESULT state = ::SendMessageW(tree_.handle(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item),
                                         kStateImageMask);
    return (static_cast<UINT>(state) & kStateImageMask) == kCheckedState;
}

void ControlDlg::setChecked(HTREEITEM item, bool check) {
    TVITEMW data{};
    data.mask = TVIF_STATE;
    data.hItem = item;
    data.stateMask = kStateImageMask;
    data.state = check ? kCheckedState : kUncheckedState;
    ::SendMessageW(tree_.handle(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
}

void ControlDlg::checkAll(bool check) {
    if (!catalogue_) return;
    for (const auto& group : *catalogue_) {
        setChecked(group->item, check);
        for (const auto& entry : group->services) setChecked(entry->item, check);
    }
}

void ControlDlg::refreshServices() {
    std::set<std::wstring> remembered;
    if (catalogue_) {
        for (const auto& group : *catalogue_) {
            if (isChecked(group->item)) remembered.insert(group->name);
            for (const auto& entry : group->services)
                if (isChecked(entry->item)) remembered.insert(entry->name);
        }
    }
    const HWND tree = tree_.handle();
    ::SendMessageW(tree, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    catalogue_ = nullptr;
    if (LiveServiceState* live = owner_->liveState()) live->releaseDeleted();
    try {
        catalogue_ = &SvcSentry::AllServices();
    } catch (...) {
        // Nothing to show: let the empty tree paint itself.
        ::SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
        ::InvalidateRect(tree, nullptr, TRUE);
        throw;
    }

    // The previous refresh's group pictures are no longer used.
    ::ImageList_SetImageCount(images_.get(), kFixedPictures);
    for (const auto& group : *catalogue_) {
        group->item = insertItem(tree, TVI_ROOT, TVI_LAST, group->name);
        setPicture(tree, group->item,
                   ::ImageList_ReplaceIcon(images_.get(), -1, loadSmallIcon(group->icon, dpi_)));
        if (remembered.count(group->name)) {
            group->checked = true;
            setChecked(group->item, true);
        }
        for (const auto& entry : group->services) {
            entry->item = insertItem(tree, group->item, TVI_SORT, entry->displayName);
            setPicture(tree, entry->item, effectiveStatusPicture(entry->name));
            if (remembered.count(entry->name)) {
                entry->checked = true;
                setChecked(entry->item, true);
            }
        }
        ::SendMessageW(tree, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(group->item));
    }
    ::SendMessageW(tree, WM_SETREDRAW, TRUE, 0);
    setStatus(std::wstring());
    owner_->trayIcon().refreshTrayIcon();
    if (LiveServiceState* live = owner_->liveState()) live->followCatalogue();
}

void ControlDlg::onTimer() {
    if (catalogue_) {
        for (const auto& group : *catalogue_) {
            const bool check = isChecked(group->item);
            if (check == group->checked) continue;
            group->checked = check;
            for (const auto& entry : group->services) {
                entry->checked = check;
                setChecked(entry->item, check);
            }
        }
    }
    if (++timerTicks > kTrayRefreshTicks) {
        timerTicks = 0;
        owner_->trayIcon().refreshTrayIcon();
    }
}

void ControlDlg::setStatus(const std::wstring& text) {
    ::SetDlgItemTextW(boxOwner(), IDC_STATUS, text.c_str());
}
