#include "process/vexecutil.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "files/file.h"
#include "process/command_line.h"
#include "process/desktop_access.h"
#include "threading/sync_object.h"

#include <vector>

namespace {

constexpr ContextSite kStartSite{"vexecutil::start", 214};
constexpr ContextSite kDuplicateSite{"vexecutil::start", 163};
constexpr ContextSite kDirectorySite{"vexecutil::start", 247};
constexpr ContextSite kWaitSite{"vexecutil::waitForExit", 352};
constexpr ContextSite kExitCodeSite{"vexecutil::exitCode", 366};

// A pipe whose parent end reads (the server end, kept in `parentEnd`); the
// returned child end is an inheritable clone of the writing client end.
std::unique_ptr<Con::Pipe> readerPipe(std::unique_ptr<Con::Pipe>& parentEnd, bool overlapped) {
    std::unique_ptr<Con::Pipe> server, client;
    Con::createPipePair(server, client, false, overlapped);
    std::unique_ptr<Con::Pipe> childEnd = client->clone();
    client->close();
    parentEnd = std::move(server);
    return childEnd;
}

// A pipe whose parent end writes (the client end); the child reads from an
// inheritable clone of the server end, which is never overlapped.
std::unique_ptr<Con::Pipe> writerPipe(std::unique_ptr<Con::Pipe>& parentEnd) {
    std::unique_ptr<Con::Pipe> server, client;
    Con::createPipePair(server, client, false, false);
    std::unique_ptr<Con::Pipe> childEnd = server->clone();
    // No flush and disconnect: that would end the pipe for the clone too.
    server->close(true);
    parentEnd = std::move(client);
    return childEnd;
}

// An inheritable duplicate of `handle`, owned by `owned`. A missing handle
// (the parent has no such standard handle) is passed on as it is.
HANDLE inheritable(HANDLE handle, std::vector<UniqueHandle>& owned) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return handle;
    HANDLE duplicate = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, handle, process, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(), kDuplicateSite.entry());
    owned.emplace_back(duplicate);
    return duplicate;
}

HANDLE inheritableFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                       std::vector<UniqueHandle>& owned) {
    VFile file;
    file.open(path, access, share, disposition, flags);
    return inheritable(file.handle(), owned);
}

// The working directory as the process's current directory for the scope.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::wstring& directory) {
        if (directory.empty()) return;
        const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
        std::vector<wchar_t> buffer(length + 1);
        ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        previous_ = buffer.data();
        if (!::SetCurrentDirectoryW(directory.c_str()))
            raiseOsError(L"Unable to set current directory '" + directory + L"'", ::GetLastError(),
                         kDirectorySite.entry());
        changed_ = true;
    }
    ~CurrentDirectory() {
        if (changed_) ::SetCurrentDirectoryW(previous_.c_str());
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::wstring previous_;
    bool changed_ = false;
};

// The primary token to start the child with: the calling thread's
// impersonation token when exactly one of it and the process token is an
// enabled administrator; otherwise none.
UniqueHandle impersonationToken() {
    UniqueHandle thread;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_READ | TOKEN_DUPLICATE, FALSE, thread.put())) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_TOKEN) return {};
        raiseOsError(L"Unable to open a thread token", error, kStartSite.entry());
    }
    UniqueHandle process;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_READ, process.put()))
        raiseOsError(L"Unable to open a process token", ::GetLastError(), kStartSite.entry());
    if (desktop_access::isEnabledAdministrator(thread.get()) == desktop_access::isEnabledAdministrator(process.get()))
        return {};
    UniqueHandle primary;
    if (!::DuplicateTokenEx(thread.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                            primary.put()))
        raiseOsError(L"Unable to duplicate impersonation token", ::GetLastError(), kStartSite.entry());
    return primary;
}

}  // namespace

vexecutil::~vexecutil() {
    if (processInformation.hProcess) ::CloseHandle(processInformation.hProcess);
    if (processInformation.hThread) ::CloseHandle(processInformation.hThread);
}

std::wstring vexecutil::commandLine() const {
    if (applicationName.empty()) return arguments;
    return format(L"\"%s\" %s", applicationName.c_str(), arguments.c_str());
}

std::wstring vexecutil::maskedCommandLine() const {
    if (applicationName.empty()) return maskCommandLine(arguments);
    return format(L"\"%s\" %s", applicationName.c_str(), maskCommandLine(arguments).c_str());
}

void vexecutil::start() {
    // The child's ends and duplicated files: closed on every way out, once
    // the child has its own copies.
    std::unique_ptr<Con::Pipe> childInput, childOutput, childError;
    std::vector<UniqueHandle> childHandles;
    if (outputPipe) childOutput = readerPipe(outputReader, overlappedPipes);
    if (inputPipe) childInput = writerPipe(inputWriter);
    if (separateErrorPipe) childError = readerPipe(errorReader, overlappedPipes);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const bool redirect = outputPipe || inputPipe || separateErrorPipe || !inputFile.empty() || !outputFile.empty();
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        if (childInput)
            startup.hStdInput = childInput->handle();
        else if (!inputFile.empty())
            startup.hStdInput = inheritableFile(inputFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, childHandles);
        else
            startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        if (childOutput)
            startup.hStdOutput = childOutput->handle();
        else if (!outputFile.empty())
            startup.hStdOutput = inheritableFile(outputFile, GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, childHandles);
        else
            startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        if (childError)
            startup.hStdError = childError->handle();
        else if (errorToOutput)
            startup.hStdError = inheritable(startup.hStdOutput, childHandles);
        else
            startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    } else {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    wchar_t desktop[] = L"winsta0\\default";
    if (!inheritDesktop) startup.lpDesktop = desktop;

    std::wstring command = commandLine();
    CurrentDirectory directory(workingDirectory);
    UniqueHandle token = impersonationToken();

    DWORD flags = ::GetPriorityClass(::GetCurrentProcess());
    if (noWindow) flags |= CREATE_NO_WINDOW;
    if (suspended) flags |= CREATE_SUSPENDED;
    if (environment) flags |= CREATE_UNICODE_ENVIRONMENT;
    if (!redirect) flags |= CREATE_NEW_CONSOLE;
    void* block = const_cast<wchar_t*>(environment);

    if (token) {
        desktop_access::grantDesktopAccess(desktop_access::tokenGroupClass(token.get()), L"winsta0", L"default");
        if (!::CreateProcessAsUserW(token.get(), nullptr, command.data(), nullptr, nullptr, redirect, flags, block,
                                    nullptr, &startup, &processInformation)) {
            const DWORD error = ::GetLastError();
            raiseOsError(L"CreateProcessAsUser '" + maskedCommandLine() + L"'", error, kStartSite.entry());
        }
    } else if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, redirect, flags, block, nullptr, &startup,
                                 &processInformation)) {
        const DWORD error = ::GetLastError();
        raiseOsError(L"CreateProcess '" + maskedCommandLine() + L"'", error, kStartSite.entry());
    }
}

bool vexecutil::waitForExit(DWORD timeoutMs) {
    const HANDLE process = processInformation.hProcess;
    switch (VSyncObject::waitForMultipleObjects(1, &process, false, timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        raiseOsError(L"Lock object", ::GetLastError(), kWaitSite.entry());
    }
}

DWORD vexecutil::exitCode() const {
    DWORD code = 0;
    if (!::GetExitCodeProcess(processInformation.hProcess, &code))
        raiseOsError(L"GetExitCodeProcess", ::GetLastError(), kExitCodeSite.entry());
    return code;
}
