#include "security/token_elevation.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

namespace {

constexpr ContextSite kElevationOfSite{"elevationTypeOf", 20};
constexpr ContextSite kOpenThreadTokenSite{"currentElevationType", 31};
constexpr ContextSite kOpenProcessTokenSite{"currentElevationType", 34};

}  // namespace

ElevationType elevationTypeOf(HANDLE token) {
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size))
        raiseOsError(L"GetTokenInformation", ::GetLastError(), kElevationOfSite.entry());
    return static_cast<ElevationType>(type);
}

ElevationType currentElevationType() {
    UniqueHandle token;
    // OpenAsSelf: the process's own context checks the access, so a thread
    // impersonating at identification level can still be asked.
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN) raiseOsError(L"OpenThreadToken", error, kOpenThreadTokenSite.entry());
        if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
            raiseOsError(L"OpenProcessToken", ::GetLastError(), kOpenProcessTokenSite.entry());
    }
    return elevationTypeOf(token.get());
}
