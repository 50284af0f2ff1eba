// A check-box tree view that the keyboard and screen readers can use as
// fully as the mouse.
#pragma once

#include "diagnostics/win32.h"

#include <commctrl.h>

#include <string>
#include <vector>

// What assistive technology is told of a row besides its text and check
// box (for example the state its picture shows); empty for nothing.
using RowDescriber = std::wstring (*)(HWND tree, HTREEITEM item);

// Subclasses `tree` (a tree view with TVS_CHECKBOXES) for its life:
// - Space toggles the check box of the focused row, as a click on the box
//   does (Wine's tree view leaves Space to incremental search; handling it
//   here makes it behave the same everywhere);
// - WM_GETOBJECT for the client area answers with an accessible outline
//   whose items are the rows in display order: name = the row's text,
//   state = checked, selected, focused, expanded, description = `describe`;
// - focus, selection and check changes are announced (NotifyWinEvent).
void attachCheckTree(HWND tree, RowDescriber describe);

// The rows of `tree` in display order (depth first); row n has the
// accessible child id n + 1.
std::vector<HTREEITEM> treeRows(HWND tree);
// Flips `item`'s check box between state images 1 and 2 and announces it.
void toggleRowCheck(HWND tree, HTREEITEM item);
