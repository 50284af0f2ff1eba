// Modeless dialogs created from the program's dialog templates, and the
// child controls they hold.
#pragma once

#include "ui/window.h"

class VDlg : public VWnd {
public:
    // Creates the dialog from template `templateId` of the program's module.
    // The object is bound to its window during WM_INITDIALOG; a failed
    // creation leaves it without a window handle.
    void create(WORD templateId, HWND parent);

    // The dialog procedure shared by every VDlg. Dispatches to the registered
    // handlers; an error escaping them is shown in a "Runtime error" box and
    // the message counts as not handled.
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

// A child control of a dialog, bound to an existing item without owning it.
class VControl : public VWnd {};

// A tree-view control; the dialog drives it with tree-view messages.
class VTreeView : public VControl {};
