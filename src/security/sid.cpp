#include "security/sid.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"

#include <lm.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr ContextSite kAdminsSite{"VSID::admins", 82};
constexpr ContextSite kEveryoneSite{"VSID::everyone", 50};
constexpr ContextSite kSystemSite{"VSID::system", 96};
constexpr ContextSite kOpenThreadTokenSite{"VSID::currentUser", 234};
constexpr ContextSite kOpenProcessTokenSite{"VSID::currentUser", 236};
constexpr ContextSite kFirstTokenInfoSite{"VSID::currentUser", 245};
constexpr ContextSite kSecondTokenInfoSite{"VSID::currentUser", 248};
constexpr ContextSite kFirstLookupSite{"VSID::findAccount", 141};
constexpr ContextSite kSecondLookupSite{"VSID::findAccount", 148};
constexpr ContextSite kGroupMemberSite{"VSID::isGroupMember", 584};

constexpr unsigned long kUserNotFound = 2221;  // NERR_UserNotFound

NetUserGetLocalGroupsCall netUserGetLocalGroups = &::NetUserGetLocalGroups;

std::vector<std::wstring> platformLocalGroups(const std::wstring& userName, bool& userFound,
                                              unsigned long& error) {
    LOCALGROUP_USERS_INFO_0* groups = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    // Flags 0, not LG_INCLUDE_INDIRECT: direct memberships only.
    const NET_API_STATUS status = netUserGetLocalGroups(nullptr, userName.c_str(), 0, 0,
                                                          reinterpret_cast<LPBYTE*>(&groups), MAX_PREFERRED_LENGTH,
                                                          &read, &total);
    std::vector<std::wstring> names;
    if (status == NERR_Success && groups) {
        for (DWORD i = 0; i < read; ++i) names.emplace_back(groups[i].lgrui0_name ? groups[i].lgrui0_name : L"");
    }
    if (groups) ::NetApiBufferFree(groups);
    userFound = status != kUserNotFound;
    error = status == kUserNotFound ? 0 : status;
    return names;
}

LocalGroupsQuery localGroupsQuery = &platformLocalGroups;

}  // namespace

void setLocalGroupsQuery(LocalGroupsQuery query) {
    localGroupsQuery = query ? query : &platformLocalGroups;
}

void setNetUserGetLocalGroupsCall(NetUserGetLocalGroupsCall call) {
    netUserGetLocalGroups = call ? call : &::NetUserGetLocalGroups;
}

VSID::VSID(PSID sid) {
    *this = sid;
}

VSID::VSID(VSID&& other) noexcept : sid_(other.sid_), heapCopy_(other.heapCopy_) {
    other.sid_ = nullptr;
}

VSID& VSID::operator=(VSID&& other) noexcept {
    if (this != &other) {
        release();
        sid_ = std::exchange(other.sid_, nullptr);
        heapCopy_ = other.heapCopy_;
    }
    return *this;
}

VSID::VSID(const VSID& other) {
    *this = other.sid_;
}

VSID& VSID::operator=(const VSID& other) {
    if (this != &other) *this = other.sid_;
    return *this;
}

VSID& VSID::operator=(PSID sid) {
    // Copied before the old SID is released: `sid` may be the one held here.
    void* copy = nullptr;
    if (sid && ::IsValidSid(sid)) {
        const DWORD length = ::GetLengthSid(sid);
        copy = std::malloc(length);
        if (!copy) throw std::bad_alloc();
        ::CopySid(length, copy, sid);
    }
    release();
    sid_ = copy;
    heapCopy_ = copy != nullptr;
    return *this;
}

VSID::~VSID() {
    release();
}

void VSID::release() noexcept {
    if (!sid_) return;
    if (heapCopy_)
        std::free(sid_);
    else
        ::FreeSid(sid_);
    sid_ = nullptr;
}

VSID VSID::wellKnown(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities,
                     const char* function, int line) {
    DWORD sub[8] = {};
    BYTE count = 0;
    for (DWORD value : subAuthorities) sub[count++] = value;
    PSID sid = nullptr;
    if (!::AllocateAndInitializeSid(&authority, count, sub[0], sub[1], sub[2], sub[3], sub[4], sub[5], sub[6], sub[7],
                                    &sid))
        raiseOsError(L"AllocateAndInitializeSid", ::GetLastError(), ContextEntry{{}, function, line});
    VSID result;
    result.sid_ = sid;
    result.heapCopy_ = false;
    return result;
}

VSID VSID::admins() {
    return wellKnown(SECURITY_NT_AUTHORITY, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
                     kAdminsSite.function, kAdminsSite.line);
}

VSID VSID::everyone() {
    return wellKnown(SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}, kEveryoneSite.function,
                     kEveryoneSite.line);
}

VSID VSID::system() {
    return wellKnown(SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}, kSystemSite.function, kSystemSite.line);
}

VSID VSID::currentUser() {
    UniqueHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, FALSE, token.put())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN) raiseOsError(L"OpenThreadToken", error, kOpenThreadTokenSite.entry());
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
            raiseOsError(L"OpenProcessToken", ::GetLastError(), kOpenProcessTokenSite.entry());
    }
    DWORD needed = 0;
    std::vector<BYTE> buffer(8);
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) {
        if (needed <= buffer.size()) raiseOsError(L"GetTokenInformation", ::GetLastError(), kFirstTokenInfoSite.entry());
        buffer.resize(needed);
        if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
            raiseOsError(L"GetTokenInformation", ::GetLastError(), kSecondTokenInfoSite.entry());
    }
    return VSID(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

std::wstring VSID::findAccount(PSID sid, std::wstring* domain) {
    DWORD nameLength = MAX_PATH;
    DWORD domainLength = MAX_PATH;
    std::vector<wchar_t> name(nameLength);
    std::vector<wchar_t> domainName(domainLength);
    SID_NAME_USE use;
    if (!::LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domainName.data(), &domainLength, &use)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER) raiseOsError(L"LookupAccountName", error, kFirstLookupSite.entry());
        name.resize(nameLength);
        domainName.resize(domainLength);
        if (!::LookupAccountSidW(nullptr, sid, name.data(), &nameLength, domainName.data(), &domainLength, &use))
            raiseOsError(L"LookupAccountName", ::GetLastError(), kSecondLookupSite.entry());
    }
    if (domain) *domain = domainName.data();
    return name.data();
}

bool VSID::isGroupMember(const std::wstring& groupName, const std::wstring& userName) {
    bool userFound = true;
    unsigned long error = 0;
    const std::vector<std::wstring> groups = localGroupsQuery(userName, userFound, error);
    if (!userFound) return false;
    if (error != 0)
        raiseOsError(format(L"NetUserGetLocalGroups(%s, %s)", userName.c_str(), groupName.c_str()),
                     static_cast<uint32_t>(error), kGroupMemberSite.entry());
    for (const std::wstring& group : groups)
        if (group == groupName) return true;
    return false;
}

bool isCurrentUserAdministrator() {
    const std::wstring user = VSID::findAccount(VSID::currentUser().get());
    const std::wstring group = VSID::findAccount(VSID::admins().get());
    return VSID::isGroupMember(group, user);
}
