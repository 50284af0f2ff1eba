// Thread cancellation points.
//
// A thread is cancelled from outside by calling `cancel` on one of its open
// points. It then acts on the request at a point: a deferred point (modes 1
// and 2) when it closes, an asynchronous point (mode 0, opened around every
// alertable wait) at once when the thread waits inside it: the request is
// queued as an asynchronous procedure call that ends the wait, and the wait
// acts on it on its own frame. Acting means
// throwing ThreadCanceled, which unwinds the whole stack (every destructor
// runs) up to the thread's outermost frame (runThread), which ends the thread
// with exit code 0.
#pragma once

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/standard_wrapping.h"

#include <atomic>
#include <functional>
#include <type_traits>
#include <utility>

namespace ThreadCancelation {

enum CancelMode : int {
    Asynchronous = 0,
    Deferred = 1,
    DeferredInherited = 2,  // deferred, and imposed on every point opened inside it
};

class CancelationPoint;

// The interruption of an asynchronous point: a handle of the point's thread
// to which the cancellation is queued as an asynchronous procedure call.
class AsyncCancelationPoint {
public:
    // Duplicates the calling thread's handle; raises the RunTime error
    // "Unable to duplicate handle".
    AsyncCancelationPoint();
    // Queues the call that cancels `point` on its thread at its next
    // alertable wait; raises "Unable to queue asynchronous cancel".
    void cancel(CancelationPoint& point);

private:
    UniqueHandle thread_;
};

class CancelationPoint {
public:
    // Opens the point on the calling thread's chain. Inside a mode 2 point
    // the mode is 2 whatever `mode` says (an asynchronous point there cannot
    // be interrupted).
    explicit CancelationPoint(CancelMode mode);
    // close().
    virtual ~CancelationPoint() noexcept(false);

    // Requests the cancellation of the point's thread; any thread may call
    // it, a second call does nothing. Mode 0 also interrupts the thread's
    // alertable wait inside the point.
    virtual void cancel();

    // Closes the point (restoring the previous one as the thread's current
    // point) and, when a cancellation was requested, acts on it by throwing
    // ThreadCanceled. When another exception is already leaving the point's
    // scope the request is passed on to the enclosing point instead. Closing
    // a closed point does nothing.
    void close();

    // Acts on the request on the point's own thread: logs
    // "Thread #<id> has been canceling!" and throws ThreadCanceled. Returns
    // when the thread is already cancelling.
    void internalCancel();

    CancelMode mode() const { return mode_; }
    bool cancelRequested() const { return cancelRequested_; }
    bool finished() const { return finished_; }
    CancelationPoint* previous() const { return previous_; }

    // The calling thread's innermost open point, or null.
    static CancelationPoint* current();

    // Called by an alertable wait that returned WAIT_IO_COMPLETION: when the
    // call that interrupted it was the cancellation of a point still open on
    // this thread's chain, acts on that request (throws ThreadCanceled).
    static void actOnInterruption();

    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;

private:
    friend class AsyncCancelationPoint;
    static void CALLBACK asyncCancelRoutine(ULONG_PTR point);
    void act(CancelationPoint* enclosing);

    CancelationPoint* previous_ = nullptr;
    CancelMode mode_;
    std::atomic<bool> cancelRequested_{false};
    bool cancelling_ = false;
    bool finished_ = false;
    AsyncCancelationPoint* async_ = nullptr;
    int uncaughtAtOpen_ = 0;
};

// Called by the thread's outermost frame when a cancellation has ended the
// thread's body; clears the thread's cancellation state.
void threadCanceled() noexcept;

// Runs `body` as the outermost frame of a thread: a cancellation that leaves
// it returns exit code 0. `body` returns the exit code or nothing (0).
template <class Body>
DWORD runThread(Body&& body) {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body>>) {
            std::forward<Body>(body)();
            return 0;
        } else {
            return static_cast<DWORD>(std::forward<Body>(body)());
        }
    } catch (const ThreadCanceled&) {
        threadCanceled();
        return 0;
    }
}

// Starts a thread whose body runs through runThread; the caller owns the
// returned handle. `threadId`, when given, receives the thread's id. Raises
// "Unable to create thread" on failure.
UniqueHandle startThreadFunction(std::function<DWORD()> body, DWORD* threadId = nullptr);

// The same for any callable returning an exit code or nothing (0).
template <class Body>
UniqueHandle startThread(Body body, DWORD* threadId = nullptr) {
    return startThreadFunction(
        [body = std::move(body)]() mutable -> DWORD {
            if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
                body();
                return 0;
            } else {
                return static_cast<DWORD>(body());
            }
        },
        threadId);
}

}  // namespace ThreadCancelation

// runWrapped (diagnostics/standard_wrapping.h) with a deferred cancellation
// point open for the body's duration.
template <class Entry, class Body>
decltype(auto) runWrappedCancelable(Entry&& entry, Body&& body) {
    return runWrapped(std::forward<Entry>(entry), [&]() -> decltype(auto) {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        return std::forward<Body>(body)();
    });
}
