#include "files/remove_file.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "files/file_name.h"
#include "security/sid.h"

#include <aclapi.h>

#include <vector>

namespace {

constexpr ContextSite kRemoveSite{"removeFile", 627};
constexpr ContextSite kAttributesSite{"setFileAttributes", 58};

constexpr DWORD kDeleteRights = DELETE | FILE_WRITE_ATTRIBUTES;                 // 0x10100
constexpr DWORD kLongestPath = 32768;  // characters, the terminator included
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

// Wine's GetFinalPathNameByHandleW gives up beyond MAX_PATH characters
// (ERROR_MORE_DATA, whatever the buffer); the object name it is made from,
// "\??\C:\...", has no such limit. Answers the name in the "\\?\" form, or
// empty when the name is not of that form.
std::wstring objectName(HANDLE handle) {
    struct CountedName {
        USHORT length;
        USHORT maximumLength;
        PWSTR buffer;
    };
    using QueryObject = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    if (!query) return {};
    std::vector<BYTE> buffer(sizeof(CountedName) + kLongestPath * sizeof(wchar_t));
    ULONG returned = 0;
    constexpr int kObjectNameInformation = 1;
    if (query(handle, kObjectNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &returned) < 0)
        return {};
    const auto* name = reinterpret_cast<const CountedName*>(buffer.data());
    const std::wstring text(name->buffer, name->length / sizeof(wchar_t));
    if (text.compare(0, 4, L"\\??\\") != 0) return {};
    return L"\\\\?\\" + text.substr(4);
}

// The object `path` itself, opened for `access` without following a final
// link: with FILE_FLAG_OPEN_REPARSE_POINT "the handle is the reparse point
// itself", so a symbolic link or junction is changed, never its target.
// Where the platform follows the link all the same (Wine opens a Unix
// symbolic link as its target), the handle reaches a file of another name:
// that handle is refused, so no other file's security is ever changed.
// Returns the open's error code, 0 on success.
DWORD openItself(const std::wstring& path, DWORD access, UniqueFileHandle& handle) {
    handle.reset(::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return ::GetLastError();
    std::wstring reached(kLongestPath, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(handle.get(), reached.data(), static_cast<DWORD>(reached.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length > 0 && length < reached.size()) {
        reached.resize(length);
    } else {
        const DWORD error = ::GetLastError();
        reached = error == ERROR_MORE_DATA ? objectName(handle.get()) : std::wstring();
        if (reached.empty()) {
            handle.reset();
            return error ? error : ERROR_CANT_ACCESS_FILE;
        }
    }
    // "\\?\UNC\server\share" and "\\server\share" name the same share.
    const auto plain = [](const std::wstring& name) {
        const std::wstring bare = VFileName::stripLongPrefix(name);
        return bare.compare(0, 4, L"UNC\\") == 0 ? L"\\" + bare.substr(3) : bare;
    };
    const std::wstring target = plain(reached);
    const auto same = [&](const std::wstring& name) { return _wcsicmp(plain(name).c_str(), target.c_str()) == 0; };
    if (same(path)) return ERROR_SUCCESS;
    // The name as given may hold short (8.3) components.
    std::wstring longName(MAX_PATH, L'\0');
    DWORD longLength = ::GetLongPathNameW(path.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    if (longLength >= longName.size()) {
        longName.resize(longLength + 1);
        longLength = ::GetLongPathNameW(path.c_str(), longName.data(), static_cast<DWORD>(longName.size()));
    }
    if (longLength > 0 && longLength < longName.size()) {
        longName.resize(longLength);
        if (same(longName)) return ERROR_SUCCESS;
    }
    handle.reset();
    return ERROR_CANT_ACCESS_FILE;
}

// `path` is the form given to the platform, `shown` the caller's form for
// the error texts.
void takeOwnership(const std::wstring& path, const std::wstring& shown, HANDLE token, PSID user) {
    // The privilege grants WRITE_OWNER when the file is opened.
    PrivilegeScope privilege(token, SE_TAKE_OWNERSHIP_NAME);
    UniqueFileHandle file;
    DWORD code = openItself(path, WRITE_OWNER, file);
    if (code == ERROR_SUCCESS)
        code = ::SetSecurityInfo(file.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, user, nullptr, nullptr,
                                 nullptr);
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
    UniqueFileHandle file;
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = openItself(path, READ_CONTROL | WRITE_DAC, file);
    if (code == ERROR_SUCCESS)
        code = ::GetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                                 nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to get the object (%s) security info", static_cast<int>(code), shown.c_str());
    UniqueLocalMemory descriptorOwner(descriptor);

    const VSID system = VSID::system();
    EXPLICIT_ACCESSW entries[2] = {deleteGrant(system.get()), deleteGrant(user)};
    PACL updated = nullptr;
    code = ::SetEntriesInAclW(2, entries, current, &updated);
    UniqueLocalMemory updatedOwner(updated);
    if (code == ERROR_SUCCESS)
        code = ::SetSecurityInfo(file.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, updated,
                                 nullptr);
    if (code != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set the object (%s) security info", static_cast<int>(code), shown.c_str());
}

// Clears the read-only bit of the object itself (SetFileAttributesW would
// follow a link to its target).
void clearReadOnly(const std::wstring& path, const std::wstring& shown) {
    UniqueFileHandle file;
    DWORD code = openItself(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, file);
    FILE_BASIC_INFO basic{};
    if (code == ERROR_SUCCESS && !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof(basic)))
        code = ::GetLastError();
    if (code == ERROR_SUCCESS && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        // Zero times leave the file's times as they are.
        basic.CreationTime.QuadPart = basic.LastAccessTime.QuadPart = 0;
        basic.LastWriteTime.QuadPart = basic.ChangeTime.QuadPart = 0;
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof(basic))) code = ::GetLastError();
    }
    if (code != ERROR_SUCCESS) raiseOsError(L"SetFileAttributes(" + shown + L")", code, kAttributesSite.entry());
}

void makeDeletable(const std::wstring& path, const std::wstring& shown) {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, token.put()))
        raiseOsError(L"OpenProcessToken", ::GetLastError(), kRemoveSite.entry());
    const std::vector<BYTE> userInfo = tokenInformation(token.get(), TokenUser);
    const PSID user = reinterpret_cast<const TOKEN_USER*>(userInfo.data())->User.Sid;

    takeOwnership(path, shown, token.get(), user);
    grantDelete(path, shown, user);
    clearReadOnly(path, shown);
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
