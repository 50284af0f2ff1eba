#include "files/os_version.h"

#include "diagnostics/exceptions.h"

namespace {

constexpr ContextSite kConstructSite{"OsVersion::OsVersion", 27};

}  // namespace

const OsVersion& OsVersion::instance() {
    static const OsVersion version;
    return version;
}

OsVersion::OsVersion() {
    info_.dwOSVersionInfoSize = sizeof(info_);
    if (!::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info_)))
        raiseOsError(L"Unable to obtain system version", ::GetLastError(), kConstructSite.entry());

    // Without a manifest naming Windows 8.1, Windows Server 2012 R2 reports
    // itself as 6.2; VerifyVersionInfoW tells the two apart.
    if (info_.dwMajorVersion == 6 && info_.dwMinorVersion == 2 && info_.wProductType != VER_NT_WORKSTATION) {
        OSVERSIONINFOEXW wanted{};
        wanted.dwOSVersionInfoSize = sizeof(wanted);
        wanted.dwMajorVersion = 6;
        wanted.dwMinorVersion = 3;
        DWORDLONG condition = 0;
        condition = ::VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
        condition = ::VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
        if (::VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition)) {
            info_.dwMinorVersion = 3;
            info_.dwBuildNumber = 9600;
        }
    }
}

bool OsVersion::isWindows8OrLater() const {
    return info_.dwMajorVersion > 6 || (info_.dwMajorVersion == 6 && info_.dwMinorVersion > 1);
}
