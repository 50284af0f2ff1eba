// Strings and icons from the program's own resources.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// The string-table entry `id` of the program's module; empty when missing.
std::wstring loadResourceString(UINT id);

// Icon `id` of the program's module at the small-icon size, shared (owned by
// the system, never destroyed).
HICON loadSmallIcon(WORD id);
