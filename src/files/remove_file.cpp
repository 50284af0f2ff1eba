#include "files/remove_file.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "files/file_attributes.h"
#include "files/file_name.h"
#include "security/sid.h"

#include <aclapi.h>

#include <vector>

namespace {

constexpr ContextSite kRemoveSite{"removeFile", 627};

constexpr DWORD kDeleteRights = DELETE | FILE_WRITE_ATTRIBUTES;                 // 0x10100
constexpr DWORD kInheritedByAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;  // 3

bool deleteFile(const std::wstring& path, DWORD& error) {
    if (::DeleteFileW(path.c_str())) return true;
    error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
}

std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!::GetTokenInformation(token, kind, buffer.data(), size, &size))
        raiseOsError(L"GetTokenInformation", ::GetLastError(), kRemoveSite.entry());
    return buffer;
}

// Enables a privilege for its lifetime when the token holds it, and puts
// the previous state back at the end.
class PrivilegeScope {
public:
    PrivilegeScope(HANDLE token, const wchar_t* name) : token_(token) {
        LUID luid;
        if (!::LookupPrivilegeValueW(nullptr, name, &luid)) return;
        const std::vector<BYTE> held = tokenInformation(token, TokenPrivileges);
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(held.data());
        bool holds = false;
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const LUID& candidate = privileges->Privileges[i].Luid;
            if (candidate.LowPart == luid.LowPart && candidate.HighPart == luid.HighPart) holds = true;
        }
        if (!holds) return;
        TOKEN_PRIVILEGES wanted{};
        wanted.PrivilegeCount = 1;
        wanted.Privileges[0].Luid = luid;
        wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof(previous_);
        enabled_ = ::AdjustTokenPrivileges(token, FALSE, &wanted, sizeof(previous_), &previous_, &size) &&
                   ::GetLastError() == ERROR_SUCCESS;
    }
    ~PrivilegeScope() {
        if (enabled_) ::AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    }
    PrivilegeScope(const PrivilegeScope&) = delete;
    PrivilegeScope& operator=(const PrivilegeScope&) = delete;

private:
    HANDLE token_;
    TOKEN_PRIVILEGES previous_{};
    bool enabled_ = false;
};

// `path` is the form given to the platform, `shown` the caller's form for
// the error texts.
void takeOwnership(const std::wstring& path, const std::wstring& shown, HANDLE token, PSID user) {
    PrivilegeScope privilege(token, SE_TAKE_OWNERSHIP_NAME);
    const DWORD code = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                               OWNER_SECURITY_INFORMATION, user, nullptr, nullptr, nullptr);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set the object (%s) owner", static_cast<int>(code), shown.c_str());
}

EXPLICIT_ACCESSW deleteGrant(PSID account) {
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = kDeleteRights;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = kInheritedByAll;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_USER;
    entry.Trustee.ptstrName = static_cast<wchar_t*>(account);
    return entry;
}

void grantDelete(const std::wstring& path, const std::wstring& shown, PSID user) {
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &current, nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to get the object (%s) security info", static_cast<int>(code), shown.c_str());
    UniqueLocalMemory descriptorOwner(descriptor);

    const VSID system = VSID::system();
    EXPLICIT_ACCESSW entries[2] = {deleteGrant(system.get()), deleteGrant(user)};
    PACL updated = nullptr;
    code = ::SetEntriesInAclW(2, entries, current, &updated);
    UniqueLocalMemory updatedOwner(updated);
    if (code == ERROR_SUCCESS)
        code = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, updated, nullptr);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set the object (%s) security info", static_cast<int>(code), shown.c_str());
}

void makeDeletable(const std::wstring& path, const std::wstring& shown) {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, token.put()))
        raiseOsError(L"OpenProcessToken", ::GetLastError(), kRemoveSite.entry());
    const std::vector<BYTE> userInfo = tokenInformation(token.get(), TokenUser);
    const PSID user = reinterpret_cast<const TOKEN_USER*>(userInfo.data())->User.Sid;

    takeOwnership(path, shown, token.get(), user);
    grantDelete(path, shown, user);
    setFileAttributes(path, getFileAttributes(path) & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

}  // namespace

void removeFile(const std::wstring& path, bool force) {
    const std::wstring longPath = VFileName::toLongPath(path);
    DWORD error = ERROR_SUCCESS;
    if (deleteFile(longPath, error)) return;
    if (force) {
        makeDeletable(longPath, path);
        if (deleteFile(longPath, error)) return;
    }
    raiseOsError(L"DeleteFile '" + path + L"'", error, kRemoveSite.entry());
}
