// An in-process lock (a critical section) and its scope guard. Recursive for
// the owning thread, as critical sections are.
#pragma once

#include "diagnostics/win32.h"

class VCriticalSection {
public:
    VCriticalSection() { ::InitializeCriticalSection(&section_); }
    ~VCriticalSection() { ::DeleteCriticalSection(&section_); }
    VCriticalSection(const VCriticalSection&) = delete;
    VCriticalSection& operator=(const VCriticalSection&) = delete;

    void enter() { ::EnterCriticalSection(&section_); }
    void leave() { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds the lock from construction to the end of the scope.
class VCriticalSectionLock {
public:
    explicit VCriticalSectionLock(VCriticalSection& section) : section_(section) { section_.enter(); }
    ~VCriticalSectionLock() { section_.leave(); }
    VCriticalSectionLock(const VCriticalSectionLock&) = delete;
    VCriticalSectionLock& operator=(const VCriticalSectionLock&) = delete;

private:
    VCriticalSection& section_;
};
