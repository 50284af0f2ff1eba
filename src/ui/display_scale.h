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

// The DPI of the monitor `window` is on (GetDpiForWindow); the system's DPI
// where the platform has no per-window value.
UINT windowDpi(HWND window);
// GetSystemMetricsForDpi(`index`, `dpi`); where it is missing, the system
// metric scaled from the system DPI to `dpi`.
int systemMetricForDpi(int index, UINT dpi);

namespace handle_traits {
struct Font {
    using pointer = HFONT;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeleteObject(h); }
};
}  // namespace handle_traits
using UniqueFont = UniqueResource<handle_traits::Font>;

// A dialog's font and the places of its controls, recorded once at one DPI
// and scaled from that record to any other, so that moving back and forth
// between monitors never accumulates rounding.
class ScaledLayout {
public:
    // Records the font and every child's rectangle of `dialog`, laid out at
    // `dpi`. Call once, after the dialog manager created the controls.
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
