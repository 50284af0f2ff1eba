// Directories: recursive creation, existence and the current directory.
#pragma once

#include "diagnostics/win32.h"

#include <string>

class VDirectory {
public:
    // Creates `path` and any missing parents (with `attributes`, which may be
    // null). An existing path, file or directory, is left alone. Raises
    // ArgumentException for an empty path, and the platform's error when a
    // directory cannot be created (for example under an existing file or a
    // missing drive).
    static void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* attributes = nullptr);

    // The process's current directory. Raises on failure.
    static std::wstring current();

    // True when `path` exists (an empty path does not). `isFile`, when given,
    // receives whether it is something other than a directory.
    static bool exists(const std::wstring& path, bool* isFile = nullptr);
};

// Creates the one directory `path`; its parent must exist. Raises on failure
// (also when the directory exists).
void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* attributes = nullptr);
