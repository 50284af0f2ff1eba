// Window objects bound to window handles, and the handler registry through
// which a window's messages reach them.
//
// Used only on the thread that owns the windows: the registry has no lock.
#pragma once

#include "diagnostics/win32.h"

class VWnd {
public:
    VWnd() = default;
    VWnd(const VWnd&) = delete;
    VWnd& operator=(const VWnd&) = delete;
    // Removes this object from every handler list. Does not destroy the
    // window, even an owned one.
    ~VWnd();

    // Handles one message. The caller sets `handled` to true before the call;
    // a handler that does not deal with the message sets it to false.
    // This base version handles nothing and returns 0.
    virtual LRESULT processMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

    // Binds the object to `window`. A window this object owns is destroyed
    // first; `owned` records whether the new one is to be destroyed by us.
    void attach(HWND window, bool owned);

    HWND handle() const { return window_; }
    bool owned() const { return owned_; }

private:
    HWND window_ = nullptr;
    bool owned_ = false;
};

// Adds `handler` to the handlers of `window`: at the end, or in front when
// `front` is true. The pointer is not owned.
void registerHandler(HWND window, VWnd* handler, bool front);

// Offers the message to the window's handlers in order until one leaves
// `handled` true. No handler, or none that handles it: handled = false and
// the result is 0. After WM_DESTROY the window's entry is dropped.
LRESULT dispatchMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

// Number of handlers registered for `window` (0 when it has no entry).
size_t handlerCount(HWND window);
