// The limited half of the test user's token. Wine gives every process an
// administrator's full token (elevation type 2), but the token linked to it
// is the filtered one (type 3) that Windows gives a program started at logon
// with User Account Control on. A thread can act with it, and a process can
// be started with it. Header-only: used by the security, app and e2e tests.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace testing_support {

// The token linked to the process token (an impersonation token).
inline UniqueHandle linkedToken() {
    UniqueHandle process;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, process.put()))
        throw std::runtime_error("OpenProcessToken failed");
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!::GetTokenInformation(process.get(), TokenLinkedToken, &linked, sizeof(linked), &size))
        throw std::runtime_error("GetTokenInformation(TokenLinkedToken) failed");
    return UniqueHandle(linked.LinkedToken);
}

// The calling thread acts with the limited token for the scope.
class ActAsLimitedUser {
public:
    ActAsLimitedUser() {
        UniqueHandle token = linkedToken();
        if (!::ImpersonateLoggedOnUser(token.get())) throw std::runtime_error("ImpersonateLoggedOnUser failed");
    }
    ~ActAsLimitedUser() { ::RevertToSelf(); }
    ActAsLimitedUser(const ActAsLimitedUser&) = delete;
    ActAsLimitedUser& operator=(const ActAsLimitedUser&) = delete;
};

// Starts `commandLine` with the limited token as its primary token, the way
// the logon entry starts a program for an administrator under User Account
// Control. The caller owns the process handle; null on failure.
inline HANDLE startWithLimitedToken(const std::wstring& commandLine) {
    UniqueHandle linked = linkedToken();
    UniqueHandle primary;
    if (!::DuplicateTokenEx(linked.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                            primary.put()))
        return nullptr;
    std::vector<wchar_t> text(commandLine.begin(), commandLine.end());
    text.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessAsUserW(primary.get(), nullptr, text.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

// The elevation type (TOKEN_ELEVATION_TYPE) of process `process`'s token;
// 0 when it cannot be read.
inline int processElevationType(HANDLE process) {
    UniqueHandle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.put())) return 0;
    TOKEN_ELEVATION_TYPE type{};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevationType, &type, sizeof(type), &size)) return 0;
    return static_cast<int>(type);
}

}  // namespace testing_support
