// Thread cancellation points.
#pragma once

namespace ThreadCancelation {

enum CancelMode : int {
    Asynchronous = 0,
    Deferred = 1,
    DeferredInherited = 2,
};

// Thrown through a thread that is being cancelled. Derives from nothing:
// every catch-all re-throws it first, and the thread's outermost frame ends
// the thread with exit code 0.
struct ThreadCanceled {};

class CancelationPoint {
public:
    explicit CancelationPoint(CancelMode mode);
    virtual void cancel();
    virtual ~CancelationPoint() noexcept(false);

    CancelMode mode() const { return mode_; }

    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;

private:
    CancelMode mode_;
};

}  // namespace ThreadCancelation
