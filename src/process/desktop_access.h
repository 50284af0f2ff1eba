// What a child started as an impersonated user needs: the administrator
// test of tokens, the well-known group a token belongs to, and access for
// that group to a window station and its desktop.
#pragma once

#include "diagnostics/win32.h"
#include "security/sid.h"

#include <memory>
#include <string>

namespace desktop_access {

// The group classes: which well-known group is granted access.
enum GroupClass : int {
    AdministratorsClass = 0,  // BUILTIN\Administrators, S-1-5-32-544
    UsersClass = 1,           // BUILTIN\Users, S-1-5-32-545
    GuestsClass = 2,          // BUILTIN\Guests, S-1-5-32-546
};

// 0 when the groups contain Administrators; otherwise 1 when they contain
// Users; otherwise 2 when they contain Guests; otherwise 1. Membership is by
// presence in the list, whatever the entry's attributes.
int groupClass(const TOKEN_GROUPS& groups);
// The same for a token's groups (TOKEN_QUERY needed). Raises on failure.
int tokenGroupClass(HANDLE token);

// True when the token's groups hold Administrators enabled and not for deny
// only. Raises on failure.
bool isEnabledAdministrator(HANDLE token);

// The SID of a class's group.
VSID groupSid(int groupClass);

// Generic rights mapped the way window stations and desktops map them; other
// bits are kept.
ACCESS_MASK windowStationRights(ACCESS_MASK mask);
ACCESS_MASK desktopRights(ACCESS_MASK mask);

// What the group gets: WINSTA_ALL_ACCESS | STANDARD_RIGHTS_REQUIRED
// (0xF037F) and DESKTOP_ALL_ACCESS (0xF01FF).
inline constexpr ACCESS_MASK kWindowStationAccess = 0xF037F;
inline constexpr ACCESS_MASK kDesktopAccess = 0xF01FF;

// True when an access-allowed entry of `acl` (may be null: no entries) for
// `sid` holds every bit of `required` after `map`. Denying entries never
// count.
bool hasRequiredAccess(const ACL* acl, PSID sid, ACCESS_MASK (*map)(ACCESS_MASK), ACCESS_MASK required);

// A new list: the entries of `acl` (may be null) followed by an
// access-allowed entry without inheritance flags for `sid` with `rights`.
// Raises "Unable to allocate new ACL", "Unable to initialize ACL", "Unable to
// add ACE to ACL".
std::unique_ptr<BYTE[]> withAllowedEntry(const ACL* acl, PSID sid, ACCESS_MASK rights);

// Grants the class's group full access to the window station `station` and
// its desktop `desktop` (each left unchanged, with an Info line, when it has
// it already). Makes `station` the process's window station meanwhile and
// switches back on every way out.
void grantDesktopAccess(int groupClass, const std::wstring& station, const std::wstring& desktop);

}  // namespace desktop_access
