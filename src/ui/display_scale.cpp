#include "ui/display_scale.h"

namespace {

using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);

// The dialog manager's behaviours (winuser.h of Windows 10 1703).
constexpr int kDialogDisableAll = 0x0001;          // DDC_DISABLE_ALL
constexpr int kDialogDisableResize = 0x0002;       // DDC_DISABLE_RESIZE
constexpr int kDialogDisableRelayout = 0x0004;     // DDC_DISABLE_CONTROL_RELAYOUT
constexpr int kControlDisableFontUpdate = 0x0001;  // DCDC_DISABLE_FONT_UPDATE
constexpr int kControlDisableRelayout = 0x0002;    // DCDC_DISABLE_RELAYOUT
constexpr int kEffectiveDpi = 0;                   // MDT_EFFECTIVE_DPI

template <class Function>
Function libraryFunction(HMODULE library, const char* name) {
    if (!library) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}

template <class Function>
Function user32Function(const char* name) {
    return libraryFunction<Function>(::GetModuleHandleW(L"user32.dll"), name);
}

UINT systemDpi() {
    const HDC screen = ::GetDC(nullptr);
    const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kDefaultDpi;
}

int scaled(int value, UINT to, UINT from) {
    return ::MulDiv(value, static_cast<int>(to), static_cast<int>(from));
}

}  // namespace

namespace display_scale_detail {
Functions& functions() {
    static Functions found = [] {
        Functions result{};
        result.getDpiForWindow = user32Function<decltype(result.getDpiForWindow)>("GetDpiForWindow");
        // shcore.dll exists from Windows 8.1; it stays loaded for the process.
        result.getDpiForMonitor =
            libraryFunction<decltype(result.getDpiForMonitor)>(::LoadLibraryW(L"shcore.dll"), "GetDpiForMonitor");
        result.setDialogDpiChangeBehavior =
            user32Function<decltype(result.setDialogDpiChangeBehavior)>("SetDialogDpiChangeBehavior");
        result.setDialogControlDpiChangeBehavior =
            user32Function<decltype(result.setDialogControlDpiChangeBehavior)>("SetDialogControlDpiChangeBehavior");
        return result;
    }();
    return found;
}
}  // namespace display_scale_detail

UINT windowDpi(HWND window) {
    const display_scale_detail::Functions& platform = display_scale_detail::functions();
    if (window && platform.getDpiForWindow) {
        if (const UINT dpi = platform.getDpiForWindow(window)) return dpi;
    }
    if (window && platform.getDpiForMonitor) {
        UINT x = 0, y = 0;
        const HMONITOR monitor = ::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
        if (SUCCEEDED(platform.getDpiForMonitor(monitor, kEffectiveDpi, &x, &y)) && y) return y;
    }
    return systemDpi();
}

int systemMetricForDpi(int index, UINT dpi) {
    static const auto function = user32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (function) return function(index, dpi);
    return scaled(::GetSystemMetrics(index), dpi, systemDpi());
}

void ScaledLayout::capture(HWND dialog, UINT dpi) {
    const display_scale_detail::Functions& platform = display_scale_detail::functions();
    const int dialogOff = kDialogDisableAll | kDialogDisableResize | kDialogDisableRelayout;
    if (platform.setDialogDpiChangeBehavior) platform.setDialogDpiChangeBehavior(dialog, dialogOff, dialogOff);
    dialog_ = dialog;
    baseDpi_ = dpi_ = dpi;
    const auto font = reinterpret_cast<HFONT>(::SendMessageW(dialog, WM_GETFONT, 0, 0));
    haveFont_ = font && ::GetObjectW(font, sizeof(baseFont_), &baseFont_) == sizeof(baseFont_);
    children_.clear();
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        RECT place{};
        ::GetWindowRect(child, &place);
        ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&place), 2);
        children_.push_back({child, place});
        const int controlOff = kControlDisableFontUpdate | kControlDisableRelayout;
        if (platform.setDialogControlDpiChangeBehavior)
            platform.setDialogControlDpiChangeBehavior(child, controlOff, controlOff);
    }
}

void ScaledLayout::apply(UINT dpi) {
    if (!dialog_ || dpi == 0) return;
    dpi_ = dpi;
    if (haveFont_) {
        LOGFONTW font = baseFont_;
        font.lfHeight = scaled(baseFont_.lfHeight, dpi, baseDpi_);
        font.lfWidth = scaled(baseFont_.lfWidth, dpi, baseDpi_);
        UniqueFont next(::CreateFontIndirectW(&font));
        if (next) {
            ::SendMessageW(dialog_, WM_SETFONT, reinterpret_cast<WPARAM>(next.get()), FALSE);
            for (const Child& child : children_)
                ::SendMessageW(child.window, WM_SETFONT, reinterpret_cast<WPARAM>(next.get()), FALSE);
            // The controls now draw with the new font: the old one may go.
            font_ = std::move(next);
        }
    }
    for (const Child& child : children_) {
        const int left = scaled(child.place.left, dpi, baseDpi_);
        const int top = scaled(child.place.top, dpi, baseDpi_);
        const int width = scaled(child.place.right, dpi, baseDpi_) - left;
        const int height = scaled(child.place.bottom, dpi, baseDpi_) - top;
        ::SetWindowPos(child.window, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ::InvalidateRect(dialog_, nullptr, TRUE);
}
