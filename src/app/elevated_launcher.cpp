#include "app/elevated_launcher.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/wine.h"
#include "process/command_line.h"
#include "security/token_elevation.h"

#include <cwchar>
#include <vector>

namespace {

// Wine only. Its ShellExecuteExW starts a "runas" program at once, with the
// caller's own token, also when that token is the limited half of an
// administrator's pair, where Windows' consent hands the program the full
// half. Under Wine the start is made here as consent makes it: with the
// token linked to the caller's, as the new process's primary token.

BOOL WINAPI startWithLinkedTokenUnderWine(SHELLEXECUTEINFOW* info) {
    UniqueHandle own;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, own.put())) return FALSE;
    TOKEN_LINKED_TOKEN linked{};
    DWORD size = 0;
    if (!::GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) return FALSE;
    UniqueHandle full(linked.LinkedToken);
    UniqueHandle primary;
    if (!::DuplicateTokenEx(full.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                            primary.put()))
        return FALSE;
    std::wstring line = quoteCommandLineArgument(info->lpFile);
    if (info->lpParameters && *info->lpParameters) line += L' ' + std::wstring(info->lpParameters);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessAsUserW(primary.get(), info->lpFile, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &process))
        return FALSE;
    ::CloseHandle(process.hThread);
    info->hProcess = process.hProcess;
    return TRUE;
}

BOOL WINAPI platformShellExecuteEx(SHELLEXECUTEINFOW* info) {
    if (runningUnderWine() && info->lpVerb && std::wcscmp(info->lpVerb, L"runas") == 0 &&
        currentElevationType() == ElevationType::Limited)
        return startWithLinkedTokenUnderWine(info);
    return ::ShellExecuteExW(info);
}

constexpr ContextSite kStartSite{"ElevatedLauncher::start", 31};
constexpr ContextSite kWaitSite{"ElevatedLauncher::start", 44};

ShellExecuteExCall shellExecuteEx = &platformShellExecuteEx;

std::wstring ownProgramFile() {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

void setShellExecuteExCall(ShellExecuteExCall call) {
    shellExecuteEx = call ? call : &platformShellExecuteEx;
}

ElevatedLauncher::~ElevatedLauncher() {
    stopWaiting();
}

ElevatedLauncher::Launch ElevatedLauncher::start(const ElevatedCommand& command, HWND window, UINT endedMessage) {
    const std::wstring program = ownProgramFile();
    const std::wstring arguments = elevatedArguments(command);
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // NOCLOSEPROCESS: the copy's handle, to wait on. FLAG_NO_UI: a failure
    // is this program's to report, in the command's own box.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    // The prompt comes up in front of the monitor's dialog.
    info.hwnd = command.owner;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = arguments.c_str();
    // Not SW_HIDE: the copy's first window, a message box, would take it.
    info.nShow = SW_SHOWNORMAL;
    if (!shellExecuteEx(&info)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_CANCELLED) return Launch::PromptRefused;
        raiseOsError(L"ShellExecuteEx '" + program + L"'", error, kStartSite.entry());
    }
    if (!info.hProcess) raiseOsError(L"ShellExecuteEx '" + program + L"'", ERROR_INVALID_HANDLE, kStartSite.entry());
    process_.reset(info.hProcess);
    window_ = window;
    endedMessage_ = endedMessage;
    if (!::RegisterWaitForSingleObject(&wait_, process_.get(), &ElevatedLauncher::onEnded, this, INFINITE,
                                       WT_EXECUTEONLYONCE)) {
        const DWORD error = ::GetLastError();
        wait_ = nullptr;
        // The copy runs; its end is simply not waited for.
        process_.reset();
        raiseOsError(L"RegisterWaitForSingleObject", error, kWaitSite.entry());
    }
    return Launch::Started;
}

VOID CALLBACK ElevatedLauncher::onEnded(PVOID context, BOOLEAN) {
    auto* launcher = static_cast<ElevatedLauncher*>(context);
    ::PostMessageW(launcher->window_, launcher->endedMessage_, 0, 0);
}

void ElevatedLauncher::stopWaiting() {
    // INVALID_HANDLE_VALUE: returns once a callback under way has finished.
    if (wait_) ::UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
    wait_ = nullptr;
}

DWORD ElevatedLauncher::finish() {
    stopWaiting();
    DWORD code = STILL_ACTIVE;
    if (process_) ::GetExitCodeProcess(process_.get(), &code);
    process_.reset();
    return code;
}
