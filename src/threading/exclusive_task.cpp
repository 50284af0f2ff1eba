#include "threading/exclusive_task.h"

#include "diagnostics/exceptions.h"

namespace {

constexpr ContextSite kCreateSite{"ExclusiveTask::Initialize", 204};
constexpr ContextSite kWaitSite{"ExclusiveTask::Initialize", 210};

}  // namespace

ExclusiveTask::ExclusiveTask(const std::wstring& name, DWORD timeoutMs) {
    Initialize(name, timeoutMs);
}

ExclusiveTask::~ExclusiveTask() {
    reset();
}

void ExclusiveTask::Initialize(const std::wstring& name, DWORD timeoutMs) {
    reset();
    mutex_.reset(::CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) raiseOsError(L"create mutex " + name, ::GetLastError(), kCreateSite.entry());
    switch (::WaitForSingleObject(mutex_.get(), timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        owned_ = true;
        break;
    case WAIT_TIMEOUT:
        break;
    default: {
        const DWORD error = ::GetLastError();
        mutex_.reset();
        raiseOsError(L"WaitForSingleObject failed for mutex " + name, error, kWaitSite.entry());
    }
    }
}

void ExclusiveTask::reset() noexcept {
    // Releasing a mutex this thread does not own fails; that is expected
    // after a time-out and ignored.
    if (mutex_) ::ReleaseMutex(mutex_.get());
    mutex_.reset();
    owned_ = false;
}
