#include "app/control_dlg.h"

#include "app/resource_text.h"
#include "app/tray_app.h"
#include "resource_ids.h"
#include "ui/check_tree.h"

namespace {

// The fixed pictures of the image list, by a service's effective status.
constexpr WORD kStatusIcons[] = {IDI_SERVICE_STARTED, IDI_SERVICE_STOPPED, IDI_SERVICE_DISABLED};

}  // namespace

void ControlDlg::buildImageList() {
    const int width = systemMetricForDpi(SM_CXSMICON, dpi_);
    const int height = systemMetricForDpi(SM_CYSMICON, dpi_);
    // 32 bits: the icons keep their alpha channel (soft edges and shadows).
    UniqueImageList images(::ImageList_Create(width, height, ILC_COLOR32 | ILC_MASK, 0, 1));
    for (WORD icon : kStatusIcons) ::ImageList_ReplaceIcon(images.get(), -1, loadSmallIcon(icon, dpi_));
    // refreshServices appends one picture per group in catalogue order.
    if (catalogue_)
        for (const auto& group : *catalogue_)
            ::ImageList_ReplaceIcon(images.get(), -1, loadSmallIcon(group->icon, dpi_));
    if (tree_.handle())
        ::SendMessageW(tree_.handle(), TVM_SETIMAGELIST, TVSIL_NORMAL, reinterpret_cast<LPARAM>(images.get()));
    // The tree has let go of the previous list.
    images_ = std::move(images);
}

void ControlDlg::setWindowIcons() {
    ::SendMessageW(handle(), WM_SETICON, ICON_SMALL,
                   reinterpret_cast<LPARAM>(loadSmallIcon(IDI_SERVICE_STARTED, dpi_)));
    ::SendMessageW(handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(loadLargeIcon(IDI_SERVICE_STARTED, dpi_)));
}

void ControlDlg::onDpiChanged(UINT dpi, const RECT* suggested) {
    if (dpi != 0 && dpi != dpi_) {
        dpi_ = dpi;
        layout_.apply(dpi);
        buildImageList();
        drawCheckBoxes(tree_.handle(), dpi_);
        setWindowIcons();
        // The tray menu's shield is drawn again at the new size.
        menuShield_.reset();
    }
    if (suggested)
        ::SetWindowPos(handle(), nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    ::InvalidateRect(handle(), nullptr, TRUE);
    // The hidden dialog stays on the monitor of the notification area, whose
    // scale changes with it (a remote session at another scale).
    owner_->trayIcon().setDpi(dpi_);
    owner_->trayIcon().refreshTrayIcon();
}
