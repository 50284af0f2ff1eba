#include "ui/check_tree.h"

#include "diagnostics/com_ptr.h"
#include "ui/tree_accessible.h"

namespace {

constexpr UINT_PTR kSubclassId = 0x51C7;
constexpr UINT kStateImageMask = 0xF000;

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
    HTREEITEM announced = nullptr;
};

// Tells assistive technology which row has the focus when it moved.
void announceFocus(HWND tree, TreeState& state) {
    const HTREEITEM caret = caretItem(tree);
    if (caret == state.announced || ::GetFocus() != tree) return;
    state.announced = caret;
    const LONG child = childIdOf(tree, caret);
    ::NotifyWinEvent(EVENT_OBJECT_SELECTION, tree, OBJID_CLIENT, child);
    ::NotifyWinEvent(EVENT_OBJECT_FOCUS, tree, OBJID_CLIENT, child);
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
        if (static_cast<LONG>(lParam) == static_cast<LONG>(OBJID_CLIENT)) {
            // The object is handed over through COM, which this thread may
            // not have started yet; it stays on for the thread's life.
            static thread_local ScopedComInitialization com;
            IAccessible* accessible = createTreeAccessible(tree, state->describe);
            const LRESULT result = ::LresultFromObject(kIidAccessible, wParam, accessible);
            accessible->Release();
            return result;
        }
        break;
    case WM_NCDESTROY:
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
        announceFocus(tree, *state);
        break;
    default:
        break;
    }
    return result;
}

}  // namespace

void attachCheckTree(HWND tree, RowDescriber describe) {
    auto* state = new TreeState{describe};
    if (!::SetWindowSubclass(tree, &treeProc, kSubclassId, reinterpret_cast<DWORD_PTR>(state))) delete state;
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
    ::NotifyWinEvent(EVENT_OBJECT_STATECHANGE, tree, OBJID_CLIENT, childIdOf(tree, item));
}
