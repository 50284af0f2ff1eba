// The process-wide record of cancellation points: each thread's current point
// (thread-local storage) and, while enabled, a map from thread id to the
// thread and its current point, so that another component can find and
// cancel threads. The program itself never enables the map.
#pragma once

#include "diagnostics/handles.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace ThreadCancelation {

class CancelationPoint;

struct RegisteredThread {
    DWORD threadId = 0;
    std::shared_ptr<UniqueHandle> thread;  // opened with SYNCHRONIZE access
    CancelationPoint* point = nullptr;
};

class CancelationRegistry {
public:
    // Allocates the thread-local slot; raises "TlsAlloc() failed".
    CancelationRegistry();
    ~CancelationRegistry();
    CancelationRegistry(const CancelationRegistry&) = delete;
    CancelationRegistry& operator=(const CancelationRegistry&) = delete;

    // The calling thread's current point (null outside every point).
    CancelationPoint* currentPoint() const;
    void setCurrentPoint(CancelationPoint* point);

    // Guards the map and the cancellation state of every point. Re-entrant.
    void enterLock() const { ::EnterCriticalSection(&lock_); }
    void leaveLock() const { ::LeaveCriticalSection(&lock_); }

    // Under the lock: records `point` as the calling thread's current point
    // (null removes the thread). Does nothing while the map is disabled.
    void recordCurrentPoint(CancelationPoint* point);

    bool enabled() const;
    void setEnabled(bool enabled);

    // A copy of the map, taken under the lock.
    std::vector<RegisteredThread> threads();
    // Under the lock, cancels the current point of a registered thread.
    // False when the thread has no registered point.
    bool cancelThread(DWORD threadId);

private:
    DWORD tlsIndex_ = TLS_OUT_OF_INDEXES;
    std::map<DWORD, RegisteredThread> threads_;
    mutable CRITICAL_SECTION lock_;
    bool enabled_ = false;
};

// Holds the registry's lock for a scope.
class RegistryLock {
public:
    explicit RegistryLock(const CancelationRegistry& registry) : registry_(registry) { registry_.enterLock(); }
    ~RegistryLock() { registry_.leaveLock(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

private:
    const CancelationRegistry& registry_;
};

}  // namespace ThreadCancelation
