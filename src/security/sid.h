// Security identifiers and the account look-ups behind the administrator
// check.
#pragma once

#include "diagnostics/win32.h"

#include <string>
#include <vector>

class VSID {
public:
    VSID() = default;
    // Takes a heap copy of `sid` when it is valid; an invalid SID leaves the
    // object empty.
    explicit VSID(PSID sid);
    VSID(VSID&& other) noexcept;
    VSID& operator=(VSID&& other) noexcept;
    VSID(const VSID& other);
    VSID& operator=(const VSID& other);
    // Stores a heap copy of `sid` (empty when it is invalid) and releases the
    // old SID; `sid` may be the SID this object holds.
    VSID& operator=(PSID sid);
    ~VSID();

    PSID get() const { return sid_; }
    bool empty() const { return sid_ == nullptr; }

    // S-1-5-32-544, S-1-1-0 and S-1-5-18.
    static VSID admins();
    static VSID everyone();
    static VSID system();
    // The user of the calling thread's token, or of the process token when
    // the thread does not impersonate.
    static VSID currentUser();

    // The account name of `sid` on the local machine; `domain`, when given,
    // receives its domain.
    static std::wstring findAccount(PSID sid, std::wstring* domain = nullptr);

    // True when the local account `userName` is directly a member of the
    // local group `groupName` (names compared exactly). An unknown user name
    // is not a member.
    static bool isGroupMember(const std::wstring& groupName, const std::wstring& userName);

private:
    static VSID wellKnown(SID_IDENTIFIER_AUTHORITY authority, std::initializer_list<DWORD> subAuthorities,
                          const char* function, int line);
    void release() noexcept;

    PSID sid_ = nullptr;
    bool heapCopy_ = false;  // true: our own heap copy; false: AllocateAndInitializeSid
};

// The local group names of `userName`, as the platform lists its direct
// memberships. Raises on failure; user-not-found is reported through
// `userFound` = false. Replaceable in tests (the account database of the test
// platform answers every user name the same way).
using LocalGroupsQuery = std::vector<std::wstring> (*)(const std::wstring& userName, bool& userFound,
                                                     unsigned long& error);
void setLocalGroupsQuery(LocalGroupsQuery query);

// The platform call under the default query, NetUserGetLocalGroups (its
// signature), replaceable in tests: the test platform's one answers every
// user and every flag alike. Null puts the platform's call back.
using NetUserGetLocalGroupsCall = DWORD(WINAPI*)(LPCWSTR server, LPCWSTR userName, DWORD level, DWORD flags,
                                                 LPBYTE* buffer, DWORD maximumLength, LPDWORD entriesRead,
                                                 LPDWORD totalEntries);
void setNetUserGetLocalGroupsCall(NetUserGetLocalGroupsCall call);

// True when the user running this program is a direct member of the local
// Administrators group (by the group's localised name).
bool isCurrentUserAdministrator();
