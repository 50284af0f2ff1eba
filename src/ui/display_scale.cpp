#include "ui/display_scale.h"

namespace {

using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFunction = int(WINAPI*)(int, UINT);

template <class Function>
Function user32Function(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), name)));
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

UINT windowDpi(HWND window) {
    static const auto function = user32Function<GetDpiForWindowFunction>("GetDpiForWindow");
    const UINT dpi = function && window ? function(window) : 0;
    return dpi ? dpi : systemDpi();
}

int systemMetricForDpi(int index, UINT dpi) {
    static const auto function = user32Function<GetSystemMetricsForDpiFunction>("GetSystemMetricsForDpi");
    if (function) return function(index, dpi);
    return scaled(::GetSystemMetrics(index), dpi, systemDpi());
}

void ScaledLayout::capture(HWND dialog, UINT dpi) {
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
