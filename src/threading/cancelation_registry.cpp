#include "threading/cancelation_registry.h"

#include "diagnostics/exceptions.h"
#include "threading/cancelation_point.h"

namespace ThreadCancelation {

namespace {

constexpr ContextSite kTlsAllocSite{
    "ThreadCancelation::TlsValuePtr<class ThreadCancelation::CancelationPoint>::TlsValuePtr", 20};

}  // namespace

CancelationRegistry::CancelationRegistry() {
    tlsIndex_ = ::TlsAlloc();
    if (tlsIndex_ == TLS_OUT_OF_INDEXES) raiseOsError(L"TlsAlloc() failed", ::GetLastError(), kTlsAllocSite.entry());
    ::InitializeCriticalSection(&lock_);
}

CancelationRegistry::~CancelationRegistry() {
    ::TlsFree(tlsIndex_);
    ::DeleteCriticalSection(&lock_);
}

CancelationPoint* CancelationRegistry::currentPoint() const {
    return static_cast<CancelationPoint*>(::TlsGetValue(tlsIndex_));
}

void CancelationRegistry::setCurrentPoint(CancelationPoint* point) {
    ::TlsSetValue(tlsIndex_, point);
}

void CancelationRegistry::recordCurrentPoint(CancelationPoint* point) {
    RegistryLock guard(*this);
    if (!enabled_) return;
    const DWORD threadId = ::GetCurrentThreadId();
    const auto found = threads_.find(threadId);
    if (found != threads_.end()) {
        if (point)
            found->second.point = point;
        else
            threads_.erase(found);
        return;
    }
    if (!point) return;
    auto thread = std::make_shared<UniqueHandle>(::OpenThread(SYNCHRONIZE, FALSE, threadId));
    threads_.emplace(threadId, RegisteredThread{threadId, std::move(thread), point});
}

bool CancelationRegistry::enabled() const {
    RegistryLock guard(*this);
    return enabled_;
}

void CancelationRegistry::setEnabled(bool enabled) {
    RegistryLock guard(*this);
    enabled_ = enabled;
}

std::vector<RegisteredThread> CancelationRegistry::threads() {
    RegistryLock guard(*this);
    std::vector<RegisteredThread> copy;
    copy.reserve(threads_.size());
    for (const auto& entry : threads_) copy.push_back(entry.second);
    return copy;
}

bool CancelationRegistry::cancelThread(DWORD threadId) {
    RegistryLock guard(*this);
    const auto found = threads_.find(threadId);
    if (found == threads_.end() || !found->second.point) return false;
    found->second.point->cancel();
    return true;
}

}  // namespace ThreadCancelation
