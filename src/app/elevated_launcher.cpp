#include "app/elevated_launcher.h"

#include "diagnostics/exceptions.h"

#include <vector>

namespace {

constexpr ContextSite kStartSite{"ElevatedLauncher::start", 31};
constexpr ContextSite kWaitSite{"ElevatedLauncher::start", 44};

ShellExecuteExCall shellExecuteEx = &::ShellExecuteExW;

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
    shellExecuteEx = call ? call : &::ShellExecuteExW;
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
