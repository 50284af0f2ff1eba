// What the token of this program allows: an administrator's rights in full,
// or held back by User Account Control until the user consents.
#pragma once

#include "diagnostics/win32.h"

// TOKEN_ELEVATION_TYPE: Default (1) for a token without a linked twin (User
// Account Control off, the built-in Administrator, a standard user), Full (2)
// for the elevated half of an administrator's pair, Limited (3) for the
// filtered half that a program started at logon receives.
enum class ElevationType : int {
    Default = 1,
    Full = 2,
    Limited = 3,
};

// The elevation type of `token`, which needs TOKEN_QUERY. Raises
// "GetTokenInformation" with the platform's code on failure.
ElevationType elevationTypeOf(HANDLE token);

// The elevation type of the token this thread acts with: its impersonation
// token when it impersonates, else the process token. Raises
// "OpenThreadToken", "OpenProcessToken" or "GetTokenInformation".
ElevationType currentElevationType();

// True when the current token is an administrator's whose rights are held
// back: a command that changes services must then run elevated.
inline bool rightsHeldBack() {
    return currentElevationType() == ElevationType::Limited;
}
