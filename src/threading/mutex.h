// A kernel mutex that processes of other accounts (services included) can
// share: it is created open to Everyone.
#pragma once

#include "threading/sync_object.h"

#include <string>

class VMutex : public VSyncObject {
public:
    // Creates the mutex, or opens the existing one of that name. `name` null:
    // an unnamed mutex. Raises "Create mutex with name '<name>'" (or
    // "Create mutex") on failure.
    explicit VMutex(bool initiallyOwned = false, const wchar_t* name = nullptr);
    VMutex(bool initiallyOwned, const std::wstring& name);

    // Re-entrant for the owning thread: every successful lock needs its
    // unlock. Raises "ReleaseMutex" when the calling thread does not own it.
    void unlock() override;
};
