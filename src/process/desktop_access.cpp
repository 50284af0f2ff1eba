#include "process/desktop_access.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "threading/sync_object.h"

#include <aclapi.h>

#include <new>
#include <vector>

namespace desktop_access {

namespace {

constexpr ContextSite kGroupsSite{"vexecutil::getTokenGroups", 702};
constexpr ContextSite kSidSite{"vexecutil::groupSid", 731};
constexpr ContextSite kAclSite{"vexecutil::grantAccess", 768};
constexpr ContextSite kStationSite{"vexecutil::grantDesktopAccess", 836};
constexpr ContextSite kDesktopSite{"vexecutil::grantDesktopAccess", 871};

constexpr int kSecurityReads = 6;
constexpr DWORD kSecurityRetryMs = 200;

// The token's group list, in a buffer the TOKEN_GROUPS lives in.
std::vector<BYTE> tokenGroups(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : sizeof(TOKEN_GROUPS));
    if (!::GetTokenInformation(token, TokenGroups, buffer.data(), static_cast<DWORD>(buffer.size()), &size))
        raiseOsError(L"Unable to get token groups", ::GetLastError(), kGroupsSite.entry());
    return buffer;
}

VSID wellKnown(WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    if (!::CreateWellKnownSid(type, nullptr, buffer, &size))
        raiseOsError(L"Unable to create SID", ::GetLastError(), kSidSite.entry());
    return VSID(static_cast<PSID>(buffer));
}

bool contains(const TOKEN_GROUPS& groups, const VSID& sid) {
    for (DWORD i = 0; i < groups.GroupCount; ++i)
        if (::EqualSid(groups.Groups[i].Sid, sid.get())) return true;
    return false;
}

std::wstring accountName(PSID sid) {
    try {
        return VSID::findAccount(sid);
    } catch (const vexception&) {
        return L"?";
    }
}

}  // namespace

int groupClass(const TOKEN_GROUPS& groups) {
    if (contains(groups, groupSid(AdministratorsClass))) return AdministratorsClass;
    if (contains(groups, groupSid(UsersClass))) return UsersClass;
    if (contains(groups, groupSid(GuestsClass))) return GuestsClass;
    return UsersClass;
}

int tokenGroupClass(HANDLE token) {
    const std::vector<BYTE> buffer = tokenGroups(token);
    return groupClass(*reinterpret_cast<const TOKEN_GROUPS*>(buffer.data()));
}

bool isEnabledAdministrator(HANDLE token) {
    const std::vector<BYTE> buffer = tokenGroups(token);
    const auto& groups = *reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    const VSID admins = groupSid(AdministratorsClass);
    for (DWORD i = 0; i < groups.GroupCount; ++i) {
        const DWORD attributes = groups.Groups[i].Attributes;
        if (::EqualSid(groups.Groups[i].Sid, admins.get()) && (attributes & SE_GROUP_ENABLED) &&
            !(attributes & SE_GROUP_USE_FOR_DENY_ONLY))
            return true;
    }
    return false;
}

VSID groupSid(int groupClass) {
    switch (groupClass) {
    case AdministratorsClass: return wellKnown(WinBuiltinAdministratorsSid);
    case GuestsClass: return wellKnown(WinBuiltinGuestsSid);
    default: return wellKnown(WinBuiltinUsersSid);
    }
}

ACCESS_MASK windowStationRights(ACCESS_MASK mask) {
    ACCESS_MASK rights = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) rights |= 0x20303;
    if (mask & GENERIC_WRITE) rights |= 0x2001C;
    if (mask & GENERIC_EXECUTE) rights |= 0x20060;
    if (mask & GENERIC_ALL) rights |= kWindowStationAccess;
    return rights;
}

ACCESS_MASK desktopRights(ACCESS_MASK mask) {
    ACCESS_MASK rights = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) rights |= 0x20041;
    if (mask & GENERIC_WRITE) rights |= 0x200BE;
    if (mask & GENERIC_EXECUTE) rights |= 0x20100;
    if (mask & GENERIC_ALL) rights |= kDesktopAccess;
    return rights;
}

bool hasRequiredAccess(const ACL* acl, PSID sid, ACCESS_MASK (*map)(ACCESS_MASK), ACCESS_MASK required) {
    if (!acl) return false;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(acl), i, &entry)) continue;
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid) && (map(allowed->Mask) & required) == required)
            return true;
    }
    return false;
}

std::unique_ptr<BYTE[]> withAllowedEntry(const ACL* acl, PSID sid, ACCESS_MASK rights) {
    ACL_SIZE_INFORMATION used{};
    used.AclBytesInUse = sizeof(ACL);
    if (acl) ::GetAclInformation(const_cast<ACL*>(acl), &used, sizeof(used), AclSizeInformation);
    const DWORD size = used.AclBytesInUse + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + ::GetLengthSid(sid);
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
    if (!buffer) raiseOsError(L"Unable to allocate new ACL", ERROR_NOT_ENOUGH_MEMORY, kAclSite.entry());
    auto* result = reinterpret_cast<ACL*>(buffer.get());
    const DWORD revision = acl && acl->AclRevision > ACL_REVISION ? acl->AclRevision : ACL_REVISION;
    if (!::InitializeAcl(result, size, revision))
        raiseOsError(L"Unable to initialize ACL", ::GetLastError(), kAclSite.entry());
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(acl), i, &entry) ||
            !::AddAce(result, revision, MAXDWORD, entry, static_cast<const ACE_HEADER*>(entry)->AceSize))
            raiseOsError(L"Unable to add ACE to ACL", ::GetLastError(), kAclSite.entry());
    }
    if (!::AddAccessAllowedAce(result, revision, rights, sid))
        raiseOsError(L"Unable to add ACE to ACL", ::GetLastError(), kAclSite.entry());
    return buffer;
}

namespace {

// Reads the DACL of a window object; the returned descriptor owns it. The
// window station is read up to six times, 200 ms apart.
DWORD readDacl(HANDLE object, int reads, PACL& dacl, UniqueLocalMemory& descriptor) {
    DWORD code = ERROR_SUCCESS;
    for (int read = 1; read <= reads; ++read) {
        PSECURITY_DESCRIPTOR raw = nullptr;
        dacl = nullptr;
        code = ::GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                 &raw);
        descriptor.reset(raw);
        if (code == ERROR_SUCCESS || read == reads) break;
        VSyncObject::sleep(kSecurityRetryMs);
    }
    return code;
}

// The grant for one window object. A DACL that is missing already gives
// everyone full access: replacing it with a list of one entry would lock
// everybody else out, so it is left as it is.
bool needsGrant(PACL dacl, bool daclPresent, PSID sid, ACCESS_MASK (*map)(ACCESS_MASK), ACCESS_MASK required) {
    return daclPresent && !hasRequiredAccess(dacl, sid, map, required);
}

bool daclPresent(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    return descriptor && ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present && dacl;
}

void grantWindowStation(HWINSTA station, const std::wstring& name, const VSID& sid) {
    PACL dacl = nullptr;
    UniqueLocalMemory descriptor;
    const DWORD code = readDacl(station, kSecurityReads, dacl, descriptor);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to get a winstation (%s) security", static_cast<int>(code), name.c_str());
    if (!needsGrant(dacl, daclPresent(descriptor.get()), sid.get(), windowStationRights, kWindowStationAccess)) {
        LogManager::print(LogInfo, L"Winstation already has required access for user %s",
                          accountName(sid.get()).c_str());
        return;
    }
    std::unique_ptr<BYTE[]> acl = withAllowedEntry(dacl, sid.get(), kWindowStationAccess);
    const DWORD set = ::SetSecurityInfo(station, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        reinterpret_cast<PACL>(acl.get()), nullptr);
    if (set != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set a winstation (%s) security", static_cast<int>(set), name.c_str());
}

void grantDesktop(HDESK desktop, const VSID& sid) {
    PACL dacl = nullptr;
    UniqueLocalMemory descriptor;
    const DWORD code = readDacl(desktop, 1, dacl, descriptor);
    if (code != ERROR_SUCCESS) raiseOsError(L"Unable to get a desktop security", code, kDesktopSite.entry());
    if (!needsGrant(dacl, daclPresent(descriptor.get()), sid.get(), desktopRights, kDesktopAccess)) {
        LogManager::print(LogInfo, L"Desktop already has required access for user %s", accountName(sid.get()).c_str());
        return;
    }
    std::unique_ptr<BYTE[]> acl = withAllowedEntry(dacl, sid.get(), kDesktopAccess);
    const DWORD set = ::SetSecurityInfo(desktop, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        reinterpret_cast<PACL>(acl.get()), nullptr);
    if (set != ERROR_SUCCESS) raiseOsError(L"Unable to set a desktop security", set, kDesktopSite.entry());
}

// Makes a window station the process's own for the scope.
class ProcessWindowStation {
public:
    explicit ProcessWindowStation(HWINSTA station) : previous_(::GetProcessWindowStation()) {
        if (!previous_) raiseOsError(L"Unable to get process window station", ::GetLastError(), kStationSite.entry());
        if (!::SetProcessWindowStation(station))
            raiseOsError(L"Unable to set window station", ::GetLastError(), kStationSite.entry());
    }
    // The handle of the process's own window station is not closed: it
    // belongs to the process.
    ~ProcessWindowStation() { ::SetProcessWindowStation(previous_); }
    ProcessWindowStation(const ProcessWindowStation&) = delete;
    ProcessWindowStation& operator=(const ProcessWindowStation&) = delete;

private:
    HWINSTA previous_;
};

}  // namespace

void grantDesktopAccess(int groupClass, const std::wstring& station, const std::wstring& desktop) {
    const VSID sid = groupSid(groupClass);
    UniqueWindowStation stationHandle(::OpenWindowStationW(station.c_str(), FALSE, READ_CONTROL | WRITE_DAC));
    if (!stationHandle)
        raiseOsError(L"Unable to open window station " + station, ::GetLastError(), kStationSite.entry());
    UniqueDesktop desktopHandle;
    ProcessWindowStation current(stationHandle.get());
    desktopHandle.reset(::OpenDesktopW(desktop.c_str(), 0, FALSE, READ_CONTROL | WRITE_DAC));
    if (!desktopHandle) raiseOsError(L"Unable to open desktop", ::GetLastError(), kDesktopSite.entry());
    grantWindowStation(stationHandle.get(), station, sid);
    grantDesktop(desktopHandle.get(), sid);
}

}  // namespace desktop_access
