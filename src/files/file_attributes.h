// File attribute bits, also for paths longer than MAX_PATH.
#pragma once

#include "diagnostics/win32.h"

#include <string>

// The attribute bits of `path`. Raises when they cannot be read (for
// example for a missing file).
DWORD getFileAttributes(const std::wstring& path);

// Sets the attribute bits of `path`. Raises on failure.
void setFileAttributes(const std::wstring& path, DWORD attributes);

// True when `path` exists as a file or a folder (`isDirectory`, when given,
// tells which); false when it or its folder is missing. Raises "retrieves
// attributes for file or directory " + path on any other error.
bool fileExist(const std::wstring& path, bool* isDirectory = nullptr);
