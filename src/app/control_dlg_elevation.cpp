// Commands under a limited token: an administrator whose rights User
// Account Control holds back sees the shield on the commands that change
// services, the website or the database, and each of them runs in an
// elevated copy of the program (app/elevated_copy.h) after the consent
// prompt. The copy's own side runs the same commands in its hidden dialog.
#include "app/control_dlg.h"

#include "app/elevated_copy.h"
#include "app/tray_app.h"
#include "diagnostics/log_manager.h"
#include "resource_ids.h"
#include "security/token_elevation.h"
#include "ui/display_scale.h"

#include <commctrl.h>

#include <cwchar>

namespace {

// The dialog's buttons and the tray menu's items that need the rights.
constexpr WORD kShieldedButtons[] = {IDC_START,         IDC_STOP,         IDC_RESTART,
                                     IDC_START_WEBSITE, IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS};
constexpr UINT kShieldedMenuItems[] = {ID_TRAY_START,     ID_TRAY_STOP,     ID_TRAY_RESTART,
                                       IDC_START_WEBSITE, IDC_STOP_WEBSITE, IDC_DELETE_SESSIONS};

// The shield as a 32-bit bitmap with its alpha channel, the form a menu
// item's picture takes (MIIM_BITMAP); null when the system has none.
HBITMAP shieldBitmap(UINT dpi) {
    const int width = systemMetricForDpi(SM_CXSMICON, dpi);
    const int height = systemMetricForDpi(SM_CYSMICON, dpi);
    // Shared: the system owns it.
    auto icon = static_cast<HICON>(::LoadImageW(nullptr, MAKEINTRESOURCEW(32518) /* IDI_SHIELD */, IMAGE_ICON,
                                                width, height, LR_SHARED));
    if (!icon) return nullptr;
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;  // top-down
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = ::GetDC(nullptr);
    HBITMAP bitmap = ::CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    ::ReleaseDC(nullptr, screen);
    if (!bitmap) return nullptr;
    HDC memory = ::CreateCompatibleDC(nullptr);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::DrawIconEx(memory, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
    ::SelectObject(memory, old);
    ::DeleteDC(memory);
    return bitmap;
}

bool namedIn(const std::vector<std::wstring>& names, const std::wstring& service) {
    for (const std::wstring& name : names)
        if (_wcsicmp(name.c_str(), service.c_str()) == 0) return true;
    return false;
}

}  // namespace

bool ControlDlg::windowOnlyCommand(WORD id) {
    switch (id) {
    case IDC_SELECT_ALL:
    case IDC_CLEAR_ALL:
    case IDC_HIDE:
    case IDCANCEL:
    case IDC_REFRESH:
    case ID_TRAY_CONTROL_PANEL:
        return true;
    default:
        return false;
    }
}

void ControlDlg::showShields() {
    // The copy shows no window of its own; the monitor decides once, at
    // start, what its buttons look like.
    if (boxOwner_) return;
    try {
        shields_ = rightsHeldBack();
    } catch (const vexception& error) {
        LogManager::logError(LogWarning, error);
        shields_ = false;
    }
    if (!shields_) return;
    // The shield is drawn left of the text inside the button's own
    // rectangle: the layout stays as it is, and the button's name, which
    // screen readers read, stays its text.
    for (WORD id : kShieldedButtons) Button_SetElevationRequiredState(::GetDlgItem(handle(), id), TRUE);
}

void ControlDlg::shieldMenuItems(HMENU popup) {
    if (!shields_) return;
    if (!menuShield_) menuShield_.reset(shieldBitmap(dpi_));
    if (!menuShield_) return;
    for (UINT id : kShieldedMenuItems) {
        MENUITEMINFOW item{};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_BITMAP;
        item.hbmpItem = menuShield_.get();
        ::SetMenuItemInfoW(popup, id, FALSE, &item);
    }
}

bool ControlDlg::handOverToElevatedCopy(WORD id) {
    const std::optional<ElevatedVerb> verb = elevatedVerbOf(id);
    // The copy itself acts: its boxOwner_ is the monitor's dialog.
    if (!verb || boxOwner_) return false;
    try {
        if (!rightsHeldBack()) return false;
    } catch (const vexception& error) {
        // Unknown: the command tries with what the monitor has.
        LogManager::logError(LogWarning, error);
        return false;
    }
    ElevatedCommand command;
    command.verb = *verb;
    command.owner = handle();
    if (takesServiceNames(*verb)) {
        if (catalogue_)
            for (const auto& group : *catalogue_)
                for (const auto& entry : group->services)
                    if (isChecked(entry->item)) command.services.push_back(entry->name);
        // Nothing checked: nothing to ask the rights for; the command
        // would only have refreshed.
        if (command.services.empty()) {
            refreshServices();
            return true;
        }
    }
    try {
        if (elevated_.start(command, handle(), kElevatedCopyEnded) == ElevatedLauncher::Launch::PromptRefused) {
            LogManager::print(LogInfo, L"%s needs administrator rights; the prompt was refused",
                              commandTitle(*verb));
            return true;
        }
    } catch (const vexception& error) {
        showBox(error.fullText(), commandTitle(*verb), MB_ICONERROR);
        return true;
    }
    copyVerb_ = *verb;
    copyOwnChanges_.emplace(owner_->liveState());
    // The copy goes along dependency chains and website services that it
    // names to no one here: while it runs, every change counts as its own.
    copyOwnChanges_->acting(L"quarnsrv", true);
    return true;
}

void ControlDlg::elevatedCopyEnded() {
    if (!elevated_.running()) return;
    const DWORD code = elevated_.finish();
    // Also when the refresh fails: the copy's changes were its own until now.
    struct EndOwnChanges {
        std::optional<LiveServiceState::OwnChanges>& own;
        ~EndOwnChanges() { own.reset(); }
    } endOwnChanges{copyOwnChanges_};
    struct QuitWhenAsked {
        const bool& asked;
        ~QuitWhenAsked() {
            if (asked) ::PostQuitMessage(0);
        }
    } quit{exitAfterCommand_};
    if (code != kCopyDone && code != kCopyCommandFailed)
        LogManager::print(LogWarning, L"The elevated copy did not run %s (exit code %lu)", commandTitle(copyVerb_),
                          static_cast<unsigned long>(code));
    refreshServices();
    owner_->trayIcon().refreshTrayIcon();
}

DWORD ControlDlg::runElevatedCommand(const ElevatedCommand& command) {
    if (!handle()) return kCopyCommandFailed;
    if (takesServiceNames(command.verb) && catalogue_) {
        // Only what the catalogue built here holds; the groups stay clear,
        // so that the timer passes no group's mark on to its services.
        for (const auto& group : *catalogue_) {
            group->checked = false;
            setChecked(group->item, false);
            for (const auto& entry : group->services) {
                entry->checked = namedIn(command.services, entry->name);
                setChecked(entry->item, entry->checked);
            }
        }
    }
    errorShown_ = false;
    // Through the dialog procedure, as a click would: its wrapping shows
    // whatever else escapes the command.
    ::SendMessageW(handle(), WM_COMMAND, commandOf(command.verb), 0);
    return errorShown_ ? kCopyCommandFailed : kCopyDone;
}
