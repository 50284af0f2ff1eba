// The platform's version, which decides between the classic and the
// long-path-capable path functions.
#pragma once

#include "diagnostics/win32.h"

class OsVersion {
public:
    // The process-wide object, created on first use (thread-safe) and kept
    // until exit. Raises when the platform cannot report its version; the
    // next call tries again.
    static const OsVersion& instance();

    const OSVERSIONINFOEXW& info() const { return info_; }
    // Major version above 6, or 6 with a minor version above 1.
    bool isWindows8OrLater() const;

    OsVersion(const OsVersion&) = delete;
    OsVersion& operator=(const OsVersion&) = delete;

private:
    // GetVersionExW; a server reporting 6.2 that verifies as at least 6.3 is
    // recorded as 6.3, build 9600.
    OsVersion();

    OSVERSIONINFOEXW info_{};
};

// Whether the system is 64-bit: always true in a 64-bit build (which never
// runs under WOW64); a 32-bit build asks isRunningUnderWow64.
bool isOSWindows64();

// IsWow64Process for this process, looked up in Kernel32 (missing: false).
// A successful answer is kept for the life of the process; a failed call
// raises "IsWow64Process()" and is tried again next time.
bool isRunningUnderWow64();
