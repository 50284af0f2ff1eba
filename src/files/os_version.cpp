#include "files/os_version.h"

#include "diagnostics/exceptions.h"

#include <atomic>

namespace {

constexpr ContextSite kConstructSite{"OsVersion::OsVersion", 27};
constexpr ContextSite kWow64Site{"isOSWindows64", 241};

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

bool isOSWindows64() {
#if defined(_WIN64)
    return true;
#else
    return isRunningUnderWow64();
#endif
}

bool isRunningUnderWow64() {
    // -1: not known yet; 0 or 1: the remembered answer.
    static std::atomic<int> answer{-1};
    const int known = answer.load();
    if (known >= 0) return known != 0;
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process = reinterpret_cast<IsWow64ProcessFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"Kernel32"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (isWow64Process && !isWow64Process(::GetCurrentProcess(), &wow64))
        raiseOsError(L"IsWow64Process()", ::GetLastError(), kWow64Site.entry());
    answer = wow64 ? 1 : 0;
    return wow64 != FALSE;
}
