// Kernel objects the program waits on, and the alertable waits themselves.
//
// Every wait here is alertable and runs inside an asynchronous cancellation
// point, so a thread blocked in it can be cancelled at once. An asynchronous
// procedure call that is not a cancellation makes the wait resume with the
// time left: callers never see WAIT_IO_COMPLETION.
#pragma once

#include "diagnostics/win32.h"

class VSyncObject {
public:
    VSyncObject(const VSyncObject&) = delete;
    VSyncObject& operator=(const VSyncObject&) = delete;
    // Closes the handle when there is one.
    virtual ~VSyncObject();
    virtual void unlock() = 0;

    // Waits up to `timeoutMs` (INFINITE allowed). True when the object was
    // acquired, an abandoned mutex included; false on a time-out.
    bool lock(DWORD timeoutMs = INFINITE);

    HANDLE handle() const { return handle_; }

    // WAIT_OBJECT_0, WAIT_ABANDONED or WAIT_TIMEOUT; WAIT_FAILED raises
    // "Wait for single object".
    static DWORD waitForSingleObject(HANDLE object, DWORD timeoutMs);
    // The result of WaitForMultipleObjectsEx, WAIT_FAILED included; never
    // raises (except the thread's cancellation).
    static DWORD waitForMultipleObjects(DWORD count, const HANDLE* objects, bool waitAll, DWORD timeoutMs);
    // Pauses for `milliseconds` (INFINITE: until the thread is cancelled).
    static void sleep(DWORD milliseconds);

protected:
    VSyncObject() = default;
    HANDLE handle_ = nullptr;
};
