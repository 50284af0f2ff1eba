// The server's own client tools, run on the Unix side from a benchmark
// under Wine: QUARN_NATIVE_BIN names their folder (/usr/bin by default).
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace nativeclient {

// Runs `command` in the native shell and waits for it. Wine starts a Unix
// program but gives back no process to wait for, so the shell leaves the
// command's exit status in `marker` (a Unix path) when it is done.
inline void run(const std::wstring& command, const std::wstring& marker) {
    const std::wstring windowsMarker = L"Z:" + marker;
    ::DeleteFileW(windowsMarker.c_str());
    std::wstring line = L"Z:\\bin\\sh -c \"" + command + L"; echo $? > " + marker + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start the native shell");
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    std::string status;
    for (int waited = 0; status.find('\n') == std::string::npos; waited += 5) {
        if (waited > 600000) throw std::runtime_error("the native command did not end");
        ::Sleep(5);
        UniqueFileHandle file(::CreateFileW(windowsMarker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) continue;
        char buffer[16];
        DWORD read = 0;
        if (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) status.assign(buffer, read);
    }
    ::DeleteFileW(windowsMarker.c_str());
    if (std::atoi(status.c_str()) != 0) throw std::runtime_error("the native command failed: " + status);
}

// The folder of the native tools.
inline std::wstring binFolder() {
    const wchar_t* folder = _wgetenv(L"QUARN_NATIVE_BIN");
    return folder && *folder ? folder : L"/usr/bin";
}

// The native client's connection arguments, with blanks around them.
inline std::wstring connectionArguments(const std::wstring& host, const std::wstring& port, const std::wstring& login,
                                        const std::wstring& password) {
    return L" --no-defaults --protocol=tcp -h " + host + L" -P " + port + L" -u " + login + L" --password='" +
           password + L"' ";
}

}  // namespace nativeclient
