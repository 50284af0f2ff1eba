// File attribute bits, also for paths longer than MAX_PATH.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// The attribute bits of `path`. Raises when they cannot be read (for
// example for a missing file).
DWORD getFileAttributes(const std::wstring& path);

// Sets the attribute bits of `path`. Raises on failure.
void setFileAttributes(const std::wstring& path, DWORD attributes);
