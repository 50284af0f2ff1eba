// A check-box tree view that the keyboard and screen readers can use as
// fully as the mouse.
#pragma once

#include "diagnostics/win32.h"

#include <commctrl.h>
#include <oleacc.h>

#include <string>
#include <vector>

// What assistive technology is told of a row besides its text and check
// box (for example the state its picture shows); empty for nothing.
using RowDescriber = std::wstring (*)(HWND tree, HTREEITEM item);

// Subclasses `tree` (a tree view with TVS_CHECKBOXES) for its life:
// - Space toggles the check box of the focused row, as a click on the box
//   does (Wine's tree view leaves Space to incremental search; handling it
//   here makes it behave the same everywhere);
// - where the platform has an accessibility proxy for tree views, the proxy
//   stays and each row's description (`describe`) is added to it by dynamic
//   annotation; the tree view announces its own changes;
// - where it has none, WM_GETOBJECT for the client area answers with an
//   accessible outline whose items are the rows in display order (name =
//   the row's text, state = checked, selected, focused, expanded,
//   description = `describe`), and focus, selection and check changes are
//   announced (NotifyWinEvent) with those ids.
// COM is initialised on the calling thread for the thread's life.
void attachCheckTree(HWND tree, RowDescriber describe);

// True when `tree` was attached and the platform's proxy serves it.
bool checkTreeUsesPlatformProxy(HWND tree);

// Draws the check boxes (the state pictures: none, unchecked, checked) at
// the small-icon size of `dpi`; called again after a change of scale. The
// tree keeps the pictures until it is destroyed.
void drawCheckBoxes(HWND tree, UINT dpi);

// The rows of `tree` in display order (depth first); row n has the
// accessible child id n + 1 in this program's own object.
std::vector<HTREEITEM> treeRows(HWND tree);
// Flips `item`'s check box between state images 1 and 2 and, where this
// program's object serves the tree, announces it.
void toggleRowCheck(HWND tree, HTREEITEM item);

// What the tree asks the platform for its screen readers, replaceable by
// tests: Wine has no tree view proxy and no annotation services.
namespace check_tree_detail {
struct AccessibilityCalls {
    HRESULT(WINAPI* createStdAccessibleObject)(HWND, LONG, REFIID, void**);
    HRESULT(WINAPI* createInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
};
AccessibilityCalls& accessibilityCalls();
}  // namespace check_tree_detail
