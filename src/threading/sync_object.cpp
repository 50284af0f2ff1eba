#include "threading/sync_object.h"

#include "diagnostics/exceptions.h"
#include "threading/cancelation_point.h"

namespace {

constexpr ContextSite kWaitSite{"VSyncObject::waitForSingleObject", 113};
constexpr ContextSite kLockSite{"VSyncObject::lock", 129};

// The time left until a deadline on the tick clock, for waits that resume
// after an unrelated asynchronous procedure call. The tick clock does not
// move when the system time is changed.
class Deadline {
public:
    explicit Deadline(DWORD timeoutMs)
        : infinite_(timeoutMs == INFINITE), end_(::GetTickCount64() + timeoutMs) {}

    DWORD left() const {
        if (infinite_) return INFINITE;
        const ULONGLONG now = ::GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
    }

private:
    bool infinite_;
    ULONGLONG end_;
};

}  // namespace

VSyncObject::~VSyncObject() {
    if (handle_) ::CloseHandle(handle_);
}

bool VSyncObject::lock(DWORD timeoutMs) {
    const DWORD result = waitForSingleObject(handle_, timeoutMs);
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return true;
    case WAIT_TIMEOUT:
    case WAIT_IO_COMPLETION:
        return false;
    default:
        raiseOsError(L"Lock object", ::GetLastError(), kLockSite.entry());
    }
}

DWORD VSyncObject::waitForSingleObject(HANDLE object, DWORD timeoutMs) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const Deadline deadline(timeoutMs);
    DWORD result;
    while ((result = ::WaitForSingleObjectEx(object, deadline.left(), TRUE)) == WAIT_IO_COMPLETION)
        ThreadCancelation::CancelationPoint::actOnInterruption();
    if (result == WAIT_FAILED) {
        const DWORD error = ::GetLastError();
        point.close();
        raiseOsError(L"Wait for single object", error, kWaitSite.entry());
    }
    return result;
}

DWORD VSyncObject::waitForMultipleObjects(DWORD count, const HANDLE* objects, bool waitAll, DWORD timeoutMs) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const Deadline deadline(timeoutMs);
    DWORD result;
    while ((result = ::WaitForMultipleObjectsEx(count, objects, waitAll ? TRUE : FALSE, deadline.left(), TRUE)) ==
           WAIT_IO_COMPLETION)
        ThreadCancelation::CancelationPoint::actOnInterruption();
    return result;
}

void VSyncObject::sleep(DWORD milliseconds) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Asynchronous);
    const Deadline deadline(milliseconds);
    DWORD left = deadline.left();
    while (::SleepEx(left, TRUE) == WAIT_IO_COMPLETION) {
        ThreadCancelation::CancelationPoint::actOnInterruption();
        left = deadline.left();
        if (left == 0) break;
    }
}
