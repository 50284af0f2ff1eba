#include "process/pipe.h"

#include "diagnostics/text.h"
#include "process/pipe_internal.h"

namespace Con {

namespace {

constexpr ContextSite kReadSite{"Con::Pipe::read", 118};
constexpr ContextSite kWriteSite{"Con::Pipe::write", 143};
constexpr ContextSite kCloneSite{"Con::Pipe::Pipe", 62};
constexpr ContextSite kServerCreateSite{"Con::ServerPipe::create", 212};
constexpr ContextSite kServerConnectSite{"Con::ServerPipe::connect", 231};

}  // namespace

namespace internal {

HANDLE createServerHandle(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                          DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                          SECURITY_ATTRIBUTES* security, const ContextSite& site) {
    const HANDLE handle = ::CreateNamedPipeW(name.c_str(), openMode, pipeMode, maxInstances, outBufferSize,
                                             inBufferSize, defaultTimeout, security);
    if (handle == INVALID_HANDLE_VALUE) raiseOsError(L"Unable to create pipe " + name, ::GetLastError(), site.entry());
    return handle;
}

void flushAndDisconnect(HANDLE handle) {
    ::FlushFileBuffers(handle);
    ::DisconnectNamedPipe(handle);
}

void raiseIncomplete(DWORD transferred, DWORD requested, const ContextSite& site) {
    throw vexception(format(L"Completed only %d of %d bytes", static_cast<int>(transferred), static_cast<int>(requested)),
                     site.entry());
}

}  // namespace internal

Pipe::Pipe(HANDLE handle) : handle_(handle) {}

Pipe::~Pipe() {
    if (isOpen()) ::CloseHandle(handle_);
}

DWORD Pipe::read(void* buffer, DWORD count, bool exact) {
    if (endOfData_) return 0;
    DWORD transferred = 0;
    if (!::ReadFile(handle_, buffer, count, &transferred, nullptr)) {
        const DWORD error = ::GetLastError();
        if (internal::isEndOfData(error)) {
            endOfData_ = true;
            return 0;
        }
        raiseOsError(L"Unable to read from pipe", error, kReadSite.entry());
    }
    if (exact && transferred != count) internal::raiseIncomplete(transferred, count, kReadSite);
    return transferred;
}

DWORD Pipe::write(const void* buffer, DWORD count, bool exact) {
    if (endOfData_) return 0;
    DWORD transferred = 0;
    if (!::WriteFile(handle_, buffer, count, &transferred, nullptr)) {
        const DWORD error = ::GetLastError();
        if (internal::isEndOfData(error)) {
            endOfData_ = true;
            return 0;
        }
        raiseOsError(L"Unable to write to pipe", error, kWriteSite.entry());
    }
    if (exact && transferred != count) internal::raiseIncomplete(transferred, count, kWriteSite);
    return transferred;
}

void Pipe::close(bool) {
    if (isOpen()) ::CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    endOfData_ = true;
}

HANDLE Pipe::duplicateInheritable() const {
    HANDLE duplicate = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, handle_, process, &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(), kCloneSite.entry());
    return duplicate;
}

std::unique_ptr<Pipe> Pipe::clone() const {
    auto copy = std::make_unique<Pipe>(duplicateInheritable());
    copy->endOfData_ = endOfData_;
    copy->reserved_ = reserved_;
    return copy;
}

ServerPipe::ServerPipe(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                       DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout, SECURITY_ATTRIBUTES* security)
    : Pipe(create(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeout, security)) {}

ServerPipe::~ServerPipe() {
    if (isOpen()) internal::flushAndDisconnect(handle_);
}

HANDLE ServerPipe::create(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                          DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                          SECURITY_ATTRIBUTES* security) {
    return internal::createServerHandle(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                                        defaultTimeout, security, kServerCreateSite);
}

void ServerPipe::connect() {
    if (!::ConnectNamedPipe(handle_, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_PIPE_CONNECTED)
            raiseOsError(L"Unable to connect to pipe", error, kServerConnectSite.entry());
    }
}

void ServerPipe::close(bool noFlush) {
    if (isOpen() && !noFlush) internal::flushAndDisconnect(handle_);
    Pipe::close(noFlush);
}

}  // namespace Con
