#include "process/pipe.h"

#include "diagnostics/text.h"
#include "process/pipe_internal.h"
#include "threading/sync_object.h"

namespace Con {

namespace {

constexpr ContextSite kEventSite{"Con::Overlapped::Overlapped", 331};
constexpr ContextSite kResetSite{"Con::Overlapped::resert", 352};
constexpr ContextSite kBeginReadSite{"Con::OverlappedPipe::beginRead", 402};
constexpr ContextSite kBeginWriteSite{"Con::OverlappedPipe::beginWrite", 431};
constexpr ContextSite kCompleteSite{"Con::OverlappedPipe::complete", 460};
constexpr ContextSite kInternalCompleteSite{"Con::OverlappedPipe::internalComplete", 489};
constexpr ContextSite kServerCreateSite{"Con::ServerOverlappedPipe::create", 548};
constexpr ContextSite kServerConnectSite{"Con::ServerOverlappedPipe::connect", 567};

constexpr wchar_t kConnectWaitText[] = L"Unable to wait while pipe has been connected";

}  // namespace

Overlapped::Overlapped() : event_(::CreateEventW(nullptr, TRUE, TRUE, nullptr)) {
    if (!event_) raiseOsError(L"Unable to create event", ::GetLastError(), kEventSite.entry());
    record_.hEvent = event_.get();
}

Overlapped::Overlapped(const Overlapped& other) {
    HANDLE duplicate = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, other.event(), process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(), kEventSite.entry());
    event_.reset(duplicate);
    record_.Offset = other.record_.Offset;
    record_.OffsetHigh = other.record_.OffsetHigh;
    record_.hEvent = duplicate;
}

Overlapped::~Overlapped() = default;

void Overlapped::resert() {
    if (!::ResetEvent(record_.hEvent)) raiseOsError(L"Unable to reset event", ::GetLastError(), kResetSite.entry());
}

OverlappedPipe::OverlappedPipe(HANDLE handle) : Pipe(handle) {}

OverlappedPipe::OverlappedPipe(HANDLE handle, const OverlappedPipe& from)
    : Pipe(handle), requested_(from.requested_), overlapped_(from.overlapped_), completed_(from.completed_) {
    endOfData_ = from.endOfData_;
    reserved_ = from.reserved_;
}

OverlappedPipe::~OverlappedPipe() {
    if (isOpen() && !completed_) cancelInFlight();
}

DWORD OverlappedPipe::read(void* buffer, DWORD count, bool exact) {
    const DWORD transferred = beginRead(buffer, count, exact);
    if (endOfData_ || completed_) return transferred;
    return complete(nullptr, INFINITE, exact);
}

DWORD OverlappedPipe::write(const void* buffer, DWORD count, bool exact) {
    const DWORD transferred = beginWrite(buffer, count, exact);
    if (endOfData_ || completed_) return transferred;
    return complete(nullptr, INFINITE, exact);
}

std::unique_ptr<Pipe> OverlappedPipe::clone() const {
    return std::unique_ptr<Pipe>(new OverlappedPipe(duplicateInheritable(), *this));
}

DWORD OverlappedPipe::beginRead(void* buffer, DWORD count, bool exact) {
    return begin(true, buffer, count, exact);
}

DWORD OverlappedPipe::beginWrite(const void* buffer, DWORD count, bool exact) {
    return begin(false, const_cast<void*>(buffer), count, exact);
}

DWORD OverlappedPipe::begin(bool reading, void* buffer, DWORD count, bool exact) {
    const ContextSite& site = reading ? kBeginReadSite : kBeginWriteSite;
    if (!completed_) throw vexception(L"Previous request has not completed!", site.entry());
    if (endOfData_) return 0;
    overlapped_.resert();
    requested_ = count;
    cancelled_ = false;
    const BOOL finished = reading ? ::ReadFile(handle_, buffer, count, nullptr, overlapped_.get())
                                  : ::WriteFile(handle_, buffer, count, nullptr, overlapped_.get());
    if (finished) {
        completed_ = false;
        return internalComplete(exact);
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        completed_ = false;
        return 0;
    }
    if (internal::isEndOfData(error)) {
        endOfData_ = true;
        return 0;
    }
    raiseOsError(reading ? L"Unable to read from pipe" : L"Unable to write to pipe", error, site.entry());
}

DWORD OverlappedPipe::complete(HANDLE cancelEvent, DWORD timeoutMs, bool exact) {
    if (completed_) throw vexception(L"Previous request has completed!", kCompleteSite.entry());
    const HANDLE objects[2] = {overlapped_.event(), cancelEvent};
    DWORD result = WAIT_FAILED;
    try {
        result = VSyncObject::waitForMultipleObjects(cancelEvent ? 2 : 1, objects, false, timeoutMs);
    } catch (...) {
        cancelInFlight();
        throw;
    }
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return internalComplete(exact);
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1:
    case WAIT_TIMEOUT: {
        const DWORD transferred = cancelInFlight();
        if (transferred != 0 && exact && transferred != requested_)
            internal::raiseIncomplete(transferred, requested_, kCompleteSite);
        return transferred;
    }
    case WAIT_FAILED:
        raiseOsError(L"Unable to complete pipe operation", ::GetLastError(), kCompleteSite.entry());
    default:
        throw vexception(format(L"Unable to complete pipe operation: Unknown state %X", static_cast<unsigned>(result)),
                         kCompleteSite.entry());
    }
}

DWORD OverlappedPipe::internalComplete(bool exact) {
    DWORD transferred = 0;
    const BOOL succeeded = ::GetOverlappedResult(handle_, overlapped_.get(), &transferred, TRUE);
    const DWORD error = succeeded ? ERROR_SUCCESS : ::GetLastError();
    completed_ = true;
    if (!succeeded) {
        if (!internal::isEndOfData(error))
            raiseOsError(L"Unable to complete pipe operation", error, kInternalCompleteSite.entry());
        // The peer going away is not an error, also for an exact transfer.
        endOfData_ = true;
        return 0;
    }
    if (exact && transferred != requested_) internal::raiseIncomplete(transferred, requested_, kInternalCompleteSite);
    return transferred;
}

DWORD OverlappedPipe::cancelInFlight() {
    // CancelIoEx with the record cancels this request whichever thread
    // started it; the buffer stays in use until the result is in.
    ::CancelIoEx(handle_, overlapped_.get());
    DWORD transferred = 0;
    if (!::GetOverlappedResult(handle_, overlapped_.get(), &transferred, TRUE)) {
        const DWORD error = ::GetLastError();
        if (internal::isEndOfData(error)) endOfData_ = true;
        cancelled_ = error == ERROR_OPERATION_ABORTED;
        transferred = 0;
    }
    completed_ = true;
    return transferred;
}

void OverlappedPipe::close(bool noFlush) {
    if (isOpen() && !completed_) cancelInFlight();
    Pipe::close(noFlush);
}

ServerOverlappedPipe::ServerOverlappedPipe(const std::wstring& name, DWORD openMode, DWORD pipeMode,
                                           DWORD maxInstances, DWORD outBufferSize, DWORD inBufferSize,
                                           DWORD defaultTimeout, SECURITY_ATTRIBUTES* security)
    : OverlappedPipe(create(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize, defaultTimeout,
                            security)) {}

ServerOverlappedPipe::~ServerOverlappedPipe() {
    if (!isOpen()) return;
    if (!completed_) cancelInFlight();
    internal::flushAndDisconnect(handle_);
}

HANDLE ServerOverlappedPipe::create(const std::wstring& name, DWORD openMode, DWORD pipeMode, DWORD maxInstances,
                                    DWORD outBufferSize, DWORD inBufferSize, DWORD defaultTimeout,
                                    SECURITY_ATTRIBUTES* security) {
    return internal::createServerHandle(name, openMode | FILE_FLAG_OVERLAPPED, pipeMode, maxInstances, outBufferSize,
                                        inBufferSize, defaultTimeout, security, kServerCreateSite);
}

void ServerOverlappedPipe::connect(DWORD) {
    overlapped_.resert();
    if (::ConnectNamedPipe(handle_, overlapped_.get())) return;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return;
    if (error != ERROR_IO_PENDING) raiseOsError(L"Unable to connect to pipe", error, kServerConnectSite.entry());

    // The pending connection is a request in flight until the wait ends, so
    // that a cancellation of the thread cancels it too.
    completed_ = false;
    const HANDLE event = overlapped_.event();
    DWORD result = WAIT_FAILED;
    try {
        result = VSyncObject::waitForMultipleObjects(1, &event, false, INFINITE);
    } catch (...) {
        cancelInFlight();
        throw;
    }
    const DWORD waitError = ::GetLastError();
    completed_ = true;
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return;
    case WAIT_TIMEOUT:
        raiseOsError(kConnectWaitText, ERROR_TIMEOUT, kServerConnectSite.entry());
    case WAIT_FAILED:
        raiseOsError(kConnectWaitText, waitError, kServerConnectSite.entry());
    default:
        throw vexception(format(L"%s: Unknown state %X", kConnectWaitText, static_cast<unsigned>(result)),
                         kServerConnectSite.entry());
    }
}

void ServerOverlappedPipe::close(bool noFlush) {
    if (isOpen() && !noFlush) {
        if (!completed_) cancelInFlight();
        internal::flushAndDisconnect(handle_);
    }
    OverlappedPipe::close(noFlush);
}

}  // namespace Con
