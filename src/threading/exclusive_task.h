// A named mutex held for the duration of a scope, serialising a task among
// the processes of the machine's session.
#pragma once

#include "diagnostics/handles.h"

#include <string>

class ExclusiveTask {
public:
    ExclusiveTask() = default;
    // Initialize(name, timeoutMs).
    ExclusiveTask(const std::wstring& name, DWORD timeoutMs);
    // Releases (when owned) and closes the mutex.
    ~ExclusiveTask();
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;

    // Opens or creates the mutex `name` (default security) and waits for it,
    // not alertable. A time-out returns normally without ownership: the task
    // then runs unprotected. Raises "create mutex <name>" or
    // "WaitForSingleObject failed for mutex <name>".
    void Initialize(const std::wstring& name, DWORD timeoutMs);

    // True when the wait acquired the mutex (an abandoned one included).
    bool owned() const { return owned_; }

private:
    void reset() noexcept;

    UniqueHandle mutex_;
    bool owned_ = false;
};
