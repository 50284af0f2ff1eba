#include "app/resource_text.h"

#include "ui/display_scale.h"

#include <commctrl.h>

#include <map>
#include <utility>

std::wstring loadResourceString(UINT id) {
    // With a zero buffer size LoadStringW hands out a pointer to the
    // resource itself.
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(::GetModuleHandleW(nullptr), id, reinterpret_cast<wchar_t*>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

namespace {

using LoadIconWithScaleDownFunction = HRESULT(WINAPI*)(HINSTANCE, PCWSTR, int, int, HICON*);

// Version 6 of the common controls (the one the manifest binds) exports it;
// older versions do not.
LoadIconWithScaleDownFunction loadIconWithScaleDown() {
    static const auto function = reinterpret_cast<LoadIconWithScaleDownFunction>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"comctl32.dll"), "LoadIconWithScaleDown")));
    return function;
}

}  // namespace

HICON loadIconAtSize(WORD id, int size) {
    // Only the dialog's thread loads icons.
    static std::map<std::pair<WORD, int>, HICON> loaded;
    HICON& icon = loaded[{id, size}];
    if (icon) return icon;
    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    if (const auto function = loadIconWithScaleDown())
        if (FAILED(function(module, MAKEINTRESOURCEW(id), size, size, &icon))) icon = nullptr;
    if (!icon)
        icon = static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
    return icon;
}

HICON loadSmallIcon(WORD id, UINT dpi) {
    return loadIconAtSize(id, systemMetricForDpi(SM_CXSMICON, dpi));
}

HICON loadLargeIcon(WORD id, UINT dpi) {
    return loadIconAtSize(id, systemMetricForDpi(SM_CXICON, dpi));
}
