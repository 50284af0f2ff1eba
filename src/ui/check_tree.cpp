#include "ui/check_tree.h"

#include "diagnostics/com_ptr.h"
#include "ui/display_scale.h"
#include "ui/tree_accessible.h"

#include <uxtheme.h>
#include <vssym32.h>

#include <algorithm>
#include <memory>

namespace {

constexpr UINT_PTR kSubclassId = 0x51C7;
// The window property through which the tree's state is found (the import
// library has no GetWindowSubclass).
constexpr wchar_t kStateProperty[] = L"Quarn.CheckTree";
constexpr UINT kStateImageMask = 0xF000;
// The colour of the check box pictures' transparent part.
constexpr COLORREF kTransparent = RGB(255, 0, 255);

HTREEITEM nextItem(HWND tree, HTREEITEM item, UINT code) {
    return reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
}

HTREEITEM caretItem(HWND tree) {
    return nextItem(tree, nullptr, TVGN_CARET);
}

LONG childIdOf(HWND tree, HTREEITEM item) {
    const auto rows = treeRows(tree);
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == item) return static_cast<LONG>(i) + 1;
    return CHILDID_SELF;
}

struct TreeState {
    RowDescriber describe;
    std::shared_ptr<TreeWindow> window = std::make_shared<TreeWindow>();
    HTREEITEM announced = nullptr;
    // The platform's proxy serves the tree; this program only annotates it.
    bool platformProxy = false;
    ComPtr<IAccPropServices> services;
    // The check box pictures drawn by drawCheckBoxes (the tree's own until then).
    HIMAGELIST checkBoxes = nullptr;
};

TreeState* stateOf(HWND tree);

// Tells assistive technology which row has the focus when it moved.
void announceFocus(HWND tree, TreeState& state) {
    const HTREEITEM caret = caretItem(tree);
    if (caret == state.announced || ::GetFocus() != tree) return;
    state.announced = caret;
    const LONG child = childIdOf(tree, caret);
    ::NotifyWinEvent(EVENT_OBJECT_SELECTION, tree, OBJID_CLIENT, child);
    ::NotifyWinEvent(EVENT_OBJECT_FOCUS, tree, OBJID_CLIENT, child);
}

// The platform's proxy for tree views is an outline; where it has none (Wine)
// the standard object is a plain client area.
bool platformProxiesTree(HWND tree) {
    const auto& calls = check_tree_detail::accessibilityCalls();
    IAccessible* proxy = nullptr;
    if (!calls.createStdAccessibleObject ||
        FAILED(calls.createStdAccessibleObject(tree, OBJID_CLIENT, kIidAccessible, reinterpret_cast<void**>(&proxy))) ||
        !proxy)
        return false;
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT role{};
    const bool outline =
        SUCCEEDED(proxy->get_accRole(self, &role)) && role.vt == VT_I4 && role.lVal == ROLE_SYSTEM_OUTLINE;
    ::VariantClear(&role);
    proxy->Release();
    return outline;
}

// Adds each row's description to the platform's proxy. Without the
// annotation services the proxy stays, without descriptions.
void annotateRows(HWND tree, TreeState& state) {
    IAccPropServices* services = nullptr;
    if (FAILED(check_tree_detail::accessibilityCalls().createInstance(kClsidAccPropServices, nullptr,
                                                                      CLSCTX_INPROC_SERVER, kIidAccPropServices,
                                                                      reinterpret_cast<void**>(&services))) ||
        !services)
        return;
    state.services = ComPtr<IAccPropServices>::adopt(services);
    IAccPropServer* server = createRowDescriptionServer(state.window, state.describe, services);
    const MSAAPROPID properties[] = {kPropIdDescription};
    // The services hold the server until the window's annotations are cleared.
    if (FAILED(services->SetHwndPropServer(tree, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, properties, 1,
                                           server, ANNO_CONTAINER)))
        state.services.reset();
    server->Release();
}

void forgetWindow(HWND tree, TreeState& state) {
    if (state.services) {
        const MSAAPROPID properties[] = {kPropIdDescription};
        state.services->ClearHwndProps(tree, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, properties, 1);
        state.services.reset();
    }
    state.window->handle.store(nullptr);
    if (state.checkBoxes) {
        ::SendMessageW(tree, TVM_SETIMAGELIST, TVSIL_STATE, 0);
        ::ImageList_Destroy(state.checkBoxes);
    }
}

LRESULT CALLBACK treeProc(HWND tree, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data) {
    auto* state = reinterpret_cast<TreeState*>(data);
    switch (message) {
    case WM_KEYDOWN:
        if (wParam == VK_SPACE) {
            // Held down, the key repeats; the box flips once per press.
            const bool repeat = (lParam & (1 << 30)) != 0;
            if (const HTREEITEM item = caretItem(tree); item && !repeat) toggleRowCheck(tree, item);
            return 0;
        }
        break;
    case WM_CHAR:
        // The Space that toggled is not a search letter.
        if (wParam == L' ') return 0;
        break;
    case WM_GETOBJECT:
        if (!state->platformProxy && static_cast<LONG>(lParam) == static_cast<LONG>(OBJID_CLIENT)) {
            IAccessible* accessible = createTreeAccessible(state->window, state->describe);
            const LRESULT result = ::LresultFromObject(kIidAccessible, wParam, accessible);
            accessible->Release();
            return result;
        }
        break;
    case WM_NCDESTROY:
        forgetWindow(tree, *state);
        ::RemovePropW(tree, kStateProperty);
        ::RemoveWindowSubclass(tree, &treeProc, kSubclassId);
        delete state;
        return ::DefSubclassProc(tree, message, wParam, lParam);
    default:
        break;
    }
    const LRESULT result = ::DefSubclassProc(tree, message, wParam, lParam);
    switch (message) {
    case WM_KEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_SETFOCUS:
        if (!state->platformProxy) announceFocus(tree, *state);
        break;
    default:
        break;
    }
    return result;
}

TreeState* stateOf(HWND tree) {
    return static_cast<TreeState*>(::GetPropW(tree, kStateProperty));
}

// Three pictures side by side in `bitmap`: none, an empty box, a checked box,
// each box as large as the platform draws one in a picture of `size`.
void paintCheckBoxes(HWND tree, HDC dc, int size, UINT dpi) {
    RECT all{0, 0, size * 3, size};
    const HBRUSH transparent = ::CreateSolidBrush(kTransparent);
    ::FillRect(dc, &all, transparent);
    ::DeleteObject(transparent);
    const int box = std::max(1, ::MulDiv(13, static_cast<int>(dpi), static_cast<int>(kDefaultDpi)));
    const HTHEME theme = ::OpenThemeData(tree, L"BUTTON");
    for (int picture = 1; picture <= 2; ++picture) {
        RECT place{picture * size + (size - box) / 2, (size - box) / 2, 0, 0};
        place.right = place.left + box;
        place.bottom = place.top + box;
        const bool checked = picture == 2;
        if (theme)
            ::DrawThemeBackground(theme, dc, BP_CHECKBOX, checked ? CBS_CHECKEDNORMAL : CBS_UNCHECKEDNORMAL, &place,
                                  nullptr);
        else
            ::DrawFrameControl(dc, &place, DFC_BUTTON, DFCS_BUTTONCHECK | DFCS_FLAT | (checked ? DFCS_CHECKED : 0));
    }
    if (theme) ::CloseThemeData(theme);
}

}  // namespace

namespace check_tree_detail {
AccessibilityCalls& accessibilityCalls() {
    static AccessibilityCalls calls{&::CreateStdAccessibleObject, &::CoCreateInstance};
    return calls;
}
}  // namespace check_tree_detail

void attachCheckTree(HWND tree, RowDescriber describe) {
    // Objects and annotations are handed over through COM, which this thread
    // may not have started yet; it stays on for the thread's life.
    static thread_local ScopedComInitialization com;
    auto* state = new TreeState{describe};
    state->window->handle.store(tree);
    state->platformProxy = platformProxiesTree(tree);
    if (!::SetWindowSubclass(tree, &treeProc, kSubclassId, reinterpret_cast<DWORD_PTR>(state))) {
        delete state;
        return;
    }
    ::SetPropW(tree, kStateProperty, state);
    if (state->platformProxy) annotateRows(tree, *state);
}

bool checkTreeUsesPlatformProxy(HWND tree) {
    const TreeState* state = stateOf(tree);
    return state && state->platformProxy;
}

void drawCheckBoxes(HWND tree, UINT dpi) {
    TreeState* state = stateOf(tree);
    if (!state) return;
    const int size = systemMetricForDpi(SM_CXSMICON, dpi);
    HIMAGELIST pictures = ::ImageList_Create(size, size, ILC_COLOR32 | ILC_MASK, 3, 0);
    if (!pictures) return;
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = size * 3;
    format.bmiHeader.biHeight = -size;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HDC screen = ::GetDC(tree);
    const HDC dc = ::CreateCompatibleDC(screen);
    const HBITMAP bitmap = ::CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dc && bitmap) {
        const HGDIOBJ previous = ::SelectObject(dc, bitmap);
        paintCheckBoxes(tree, dc, size, dpi);
        ::SelectObject(dc, previous);
        ::ImageList_AddMasked(pictures, bitmap, kTransparent);
    }
    if (bitmap) ::DeleteObject(bitmap);
    if (dc) ::DeleteDC(dc);
    ::ReleaseDC(tree, screen);
    if (::ImageList_GetImageCount(pictures) != 3) {
        ::ImageList_Destroy(pictures);
        return;
    }
    // The tree's own first pictures are left to it.
    ::SendMessageW(tree, TVM_SETIMAGELIST, TVSIL_STATE, reinterpret_cast<LPARAM>(pictures));
    if (state->checkBoxes) ::ImageList_Destroy(state->checkBoxes);
    state->checkBoxes = pictures;
    ::InvalidateRect(tree, nullptr, TRUE);
}

std::vector<HTREEITEM> treeRows(HWND tree) {
    std::vector<HTREEITEM> rows;
    // Depth first: a row, its children, then its next sibling.
    HTREEITEM item = nextItem(tree, nullptr, TVGN_ROOT);
    while (item) {
        rows.push_back(item);
        if (const HTREEITEM child = nextItem(tree, item, TVGN_CHILD)) {
            item = child;
            continue;
        }
        HTREEITEM up = item;
        item = nullptr;
        while (up && !(item = nextItem(tree, up, TVGN_NEXT))) up = nextItem(tree, up, TVGN_PARENT);
    }
    return rows;
}

void toggleRowCheck(HWND tree, HTREEITEM item) {
    const auto state = static_cast<UINT>(
        ::SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), kStateImageMask));
    TVITEMW data{};
    data.mask = TVIF_HANDLE | TVIF_STATE;
    data.hItem = item;
    data.stateMask = kStateImageMask;
    data.state = INDEXTOSTATEIMAGEMASK((state & kStateImageMask) == INDEXTOSTATEIMAGEMASK(2) ? 1 : 2);
    ::SendMessageW(tree, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    // The platform's tree view announces its own changes to its proxy.
    if (!checkTreeUsesPlatformProxy(tree))
        ::NotifyWinEvent(EVENT_OBJECT_STATECHANGE, tree, OBJID_CLIENT, childIdOf(tree, item));
}
