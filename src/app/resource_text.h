// Strings and icons from the program's own resources.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// The string-table entry `id` of the program's module; empty when missing.
std::wstring loadResourceString(UINT id);

// Icon `id` of the program's module at `size` pixels square, made from the
// resource's image of that size, or scaled down from the next larger one
// (LoadIconWithScaleDown), never scaled up from a smaller one. Shared: the
// program keeps one handle per icon and size for its whole life, so callers
// never destroy it.
HICON loadIconAtSize(WORD id, int size);
// Icon `id` at the small-icon (SM_CXSMICON) or large-icon (SM_CXICON) size
// of `dpi`.
HICON loadSmallIcon(WORD id, UINT dpi);
HICON loadLargeIcon(WORD id, UINT dpi);
