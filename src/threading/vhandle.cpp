#include "threading/vhandle.h"

#include "diagnostics/exceptions.h"

namespace {

constexpr ContextSite kDuplicateSite{"VHandle::duplicate", 16};

}  // namespace

HANDLE VHandle::duplicate(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    HANDLE copy = nullptr;
    const HANDLE process = ::GetCurrentProcess();
    if (!::DuplicateHandle(process, handle, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        raiseOsError(L"Unable to duplicate handle", ::GetLastError(), kDuplicateSite.entry());
    return copy;
}
