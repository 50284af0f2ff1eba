// The display scale a window is shown at, and a dialog's layout that follows
// it when the window moves to a monitor of another scale.
//
// The program declares itself per-monitor aware, so every size here is the
// one of the window's own monitor, not the system's. On systems older than
// Windows 10 1607 the per-window functions are missing and the system's DPI
// is used.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <vector>

// The DPI at which 100 % scale draws (one pixel per point * 96 / 72).
constexpr UINT kDefaultDpi = USER_DEFAULT_SCREEN_DPI;

// The DPI of the monitor `window` is on: GetDpiForWindow; where it is
// missing (Windows 8.1 and early Windows 10), GetDpiForMonitor of the
// window's monitor; the system's DPI where neither exists.
UINT windowDpi(HWND window);
// GetSystemMetricsForDpi(`index`, `dpi`); where it is missing, the system
// metric scaled from the system DPI to `dpi`.
int systemMetricForDpi(int index, UINT dpi);

// A dialog's font and the places of its controls, recorded once at one DPI
// and scaled from that record to any other, so that moving back and forth
// between monitors never accumulates rounding.
class ScaledLayout {
public:
    // Records the font and every child's rectangle of `dialog`, laid out at
    // `dpi`. Call once, after the dialog manager created the controls. The
    // dialog manager's own scaling of a per-monitor (v2) dialog (fonts,
    // relayout and WM_GETDPISCALEDSIZE, Windows 10 1703 and later) is turned
    // off for the dialog and its controls, so that this layout alone follows
    // the scale and the two never act on top of each other.
    void capture(HWND dialog, UINT dpi);
    // Gives the dialog and every recorded control a font scaled to `dpi` and
    // moves and sizes the controls in proportion. The window's own frame is
    // left to the caller (WM_DPICHANGED suggests it).
    void apply(UINT dpi);

    UINT dpi() const { return dpi_; }

private:
    struct Child {
        HWND window;
        RECT place;
    };
    HWND dialog_ = nullptr;
    UINT baseDpi_ = kDefaultDpi;
    UINT dpi_ = kDefaultDpi;
    LOGFONTW baseFont_{};
    bool haveFont_ = false;
    std::vector<Child> children_;
    // The font handed to the controls; they do not own it (WM_SETFONT).
    UniqueFont font_;
};

// The per-monitor functions of the platform, looked up at run time (each may
// be missing), replaceable by tests: Wine has no dialog manager scaling, and
// its GetDpiForWindow is always there.
namespace display_scale_detail {
struct Functions {
    UINT(WINAPI* getDpiForWindow)(HWND);
    HRESULT(WINAPI* getDpiForMonitor)(HMONITOR, int type, UINT* x, UINT* y);
    BOOL(WINAPI* setDialogDpiChangeBehavior)(HWND, int mask, int values);
    BOOL(WINAPI* setDialogControlDpiChangeBehavior)(HWND, int mask, int values);
};
Functions& functions();
}  // namespace display_scale_detail
