#include "threading/cancelation_point.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/log_sink.h"
#include "threading/cancelation_registry.h"
#include "threading/execute_context.h"

#include <process.h>

#include <exception>
#include <memory>

namespace ThreadCancelation {

namespace {

constexpr ContextSite kQueueSite{"ThreadCancelation::AsyncCancelationPoint::cancel", 117};
constexpr ContextSite kStartThreadSite{"ThreadCancelation::startThread", 30};

// The calling thread's cancellation state beside its chain of points.
// ThreadCanceled is on its way out of the thread's frames: further requests
// have nothing left to do.
thread_local bool t_cancelInFlight = false;
// A request that its point could not act on (another exception was leaving
// it) and that no enclosing point could take over: the next point that
// closes acts on it.
thread_local bool t_pendingCancel = false;
// The point whose asynchronous request interrupted the thread's current
// alertable wait; the wait acts on it once the platform call has returned
// (actOnInterruption), because a C++ exception must not leave the
// asynchronous procedure call through the platform's frames: the 32-bit
// unwinder cannot walk them.
thread_local const CancelationPoint* t_interruptedBy = nullptr;

CancelationRegistry& registry() {
    return ExecuteContext::get().registry();
}

unsigned __stdcall threadStart(void* parameter) {
    std::unique_ptr<std::function<DWORD()>> body(static_cast<std::function<DWORD()>*>(parameter));
    return runThread(*body);
}

}  // namespace

AsyncCancelationPoint::AsyncCancelationPoint() {
    HANDLE thread = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, ::GetCurrentThread(), process, &thread, 0, FALSE, DUPLICATE_SAME_ACCESS))
        throwRuntimeError(L"Unable to duplicate handle", static_cast<int>(::GetLastError()));
    thread_.reset(thread);
}

void AsyncCancelationPoint::cancel(CancelationPoint& point) {
    if (!::QueueUserAPC(&CancelationPoint::asyncCancelRoutine, thread_.get(), reinterpret_cast<ULONG_PTR>(&point)))
        raiseOsError(L"Unable to queue asynchronous cancel", ::GetLastError(), kQueueSite.entry());
}

CancelationPoint::CancelationPoint(CancelMode mode) : mode_(mode), uncaughtAtOpen_(std::uncaught_exceptions()) {
    // A point opened while no exception is in flight means an earlier
    // cancellation was caught and the thread goes on.
    if (uncaughtAtOpen_ == 0) t_cancelInFlight = false;
    CancelationRegistry& points = registry();
    previous_ = points.currentPoint();
    points.setCurrentPoint(this);
    if (previous_ && previous_->mode_ == DeferredInherited) mode_ = DeferredInherited;
    if (mode_ == Asynchronous) {
        try {
            async_ = new AsyncCancelationPoint();
        } catch (...) {
            // The chain must not keep a point that never opened.
            points.setCurrentPoint(previous_);
            throw;
        }
    }
    points.recordCurrentPoint(this);
}

CancelationPoint::~CancelationPoint() noexcept(false) {
    close();
}

void CancelationPoint::close() {
    if (finished_) return;
    CancelationRegistry& points = registry();
    CancelationPoint* const enclosing = previous_;
    {
        RegistryLock guard(points);
        points.recordCurrentPoint(enclosing);
        delete async_;
        async_ = nullptr;
    }
    points.setCurrentPoint(enclosing);
    previous_ = nullptr;
    finished_ = true;
    if (cancelRequested_ || t_pendingCancel) act(enclosing);
}

void CancelationPoint::cancel() {
    RegistryLock guard(registry());
    if (cancelRequested_.exchange(true)) return;
    if (async_) async_->cancel(*this);
}

void CancelationPoint::internalCancel() {
    act(previous_);
}

void CancelationPoint::act(CancelationPoint* enclosing) {
    {
        RegistryLock guard(registry());
        if (cancelling_ || t_cancelInFlight) return;
        if (std::uncaught_exceptions() != uncaughtAtOpen_) {
            // Another exception is leaving the point's scope and throwing now
            // would end the process: the enclosing point takes the request over.
            if (enclosing)
                enclosing->cancelRequested_ = true;
            else
                t_pendingCancel = true;
            return;
        }
        cancelling_ = true;
        t_pendingCancel = false;
    }
    // Logged outside the lock: the log waits for its own mutex, whose holder
    // may be opening a point and so waiting for the lock.
    logToSink(LogInfo, L"Thread #%d has been canceling!", static_cast<int>(::GetCurrentThreadId()));
    t_cancelInFlight = true;
    throw ThreadCanceled{};
}

void CALLBACK CancelationPoint::asyncCancelRoutine(ULONG_PTR value) {
    // Only recorded here: the interrupted wait returns WAIT_IO_COMPLETION and
    // calls actOnInterruption on its own frame.
    t_interruptedBy = reinterpret_cast<const CancelationPoint*>(value);
}

void CancelationPoint::actOnInterruption() {
    const CancelationPoint* const target = t_interruptedBy;
    if (!target) return;
    t_interruptedBy = nullptr;
    // The call may run long after it was queued, when its point has closed:
    // act only while the point is still open on this thread's chain.
    for (CancelationPoint* point = registry().currentPoint(); point; point = point->previous_) {
        // A later point may sit at the address of a closed one: it acts only
        // when it has a request of its own.
        if (point != target || !point->cancelRequested_) continue;
        // Inside a destructor run by another exception the request waits for
        // the point to close.
        if (t_cancelInFlight || std::uncaught_exceptions() != point->uncaughtAtOpen_) return;
        point->internalCancel();
        return;
    }
}

CancelationPoint* CancelationPoint::current() {
    return registry().currentPoint();
}

void threadCanceled() noexcept {
    t_cancelInFlight = false;
    t_pendingCancel = false;
}

UniqueHandle startThreadFunction(std::function<DWORD()> body, DWORD* threadId) {
    auto parameter = std::make_unique<std::function<DWORD()>>(std::move(body));
    unsigned id = 0;
    const uintptr_t thread = ::_beginthreadex(nullptr, 0, &threadStart, parameter.get(), 0, &id);
    if (!thread) raiseOsError(L"Unable to create thread", ::GetLastError(), kStartThreadSite.entry());
    parameter.release();
    if (threadId) *threadId = id;
    return UniqueHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace ThreadCancelation
