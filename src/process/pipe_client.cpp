#include "process/pipe.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "process/pipe_internal.h"
#include "threading/cancelation_point.h"
#include "threading/sync_object.h"

#include <atomic>

namespace Con {

namespace {

constexpr ContextSite kClientCreateSite{"Con::ClientPipe::create", 287};
constexpr ContextSite kClientOverlappedCreateSite{"Con::ClientOverlappedPipe::create", 519};
constexpr ContextSite kTryCountSite{"Con::pipeConnectTryCount", 268};

constexpr wchar_t kTryCountValue[] = L"PipeConnectTryCount";
constexpr DWORD kBusyWaitMs = 1000;
constexpr DWORD kBusyRetryPauseMs = 50;
constexpr uint32_t kRereadInterval = 16;

std::atomic<DWORD> g_tryCount{0};
std::atomic<uint32_t> g_requests{0};
std::atomic<bool> g_readFailed{false};

}  // namespace

DWORD pipeConnectTryCount() {
    const uint32_t request = g_requests.fetch_add(1);
    if (request % kRereadInterval == 0 && !g_readFailed.load()) {
        try {
            DWORD value = 0;
            const uint32_t code = registry::lookup(HKEY_LOCAL_MACHINE, product_config::kConfigKey, kTryCountValue,
                                                   value, registry::View32);
            g_tryCount = code == 0 ? value : 0;
        } catch (...) {
            g_readFailed = true;
            LogManager::logError(LogWarning, currentAsVexception(kTryCountSite.entry(kTryCountValue)));
        }
    }
    return g_tryCount.load();
}

namespace detail {
void resetPipeConnectTryCount() {
    g_tryCount = 0;
    g_requests = 0;
    g_readFailed = false;
}
}  // namespace detail

namespace internal {

HANDLE openClientHandle(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount,
                        DWORD flags, const ContextSite& site) {
    const DWORD configured = pipeConnectTryCount();
    const int tries = configured != 0 ? static_cast<int>(configured) : defaultTryCount;
    for (int attempt = 0; attempt < tries; ++attempt) {
        UniqueFileHandle handle;
        {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            handle.reset(::CreateFileW(name.c_str(), desiredAccess, 0, nullptr, OPEN_EXISTING,
                                       flags | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
            if (!handle) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_PIPE_BUSY) raiseOsError(L"Unable to connect to pipe " + name, error, site.entry());
                if (!::WaitNamedPipeW(name.c_str(), kBusyWaitMs)) VSyncObject::sleep(kBusyRetryPauseMs);
                continue;
            }
        }
        DWORD mode = readMode;
        if (!::SetNamedPipeHandleState(handle.get(), &mode, nullptr, nullptr))
            raiseOsError(L"Unable to set mode of pipe " + name, ::GetLastError(), site.entry());
        return handle.release();
    }
    throw vexception(L"Unable to connect to pipe " + name, site.entry());
}

}  // namespace internal

ClientPipe::ClientPipe(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount)
    : Pipe(create(name, desiredAccess, readMode, defaultTryCount)) {}

HANDLE ClientPipe::create(const std::wstring& name, DWORD desiredAccess, DWORD readMode, int defaultTryCount) {
    return internal::openClientHandle(name, desiredAccess, readMode, defaultTryCount, 0, kClientCreateSite);
}

ClientOverlappedPipe::ClientOverlappedPipe(const std::wstring& name, DWORD desiredAccess, DWORD readMode,
                                           int defaultTryCount)
    : OverlappedPipe(create(name, desiredAccess, readMode, defaultTryCount)) {}

HANDLE ClientOverlappedPipe::create(const std::wstring& name, DWORD desiredAccess, DWORD readMode,
                                    int defaultTryCount) {
    return internal::openClientHandle(name, desiredAccess, readMode, defaultTryCount, FILE_FLAG_OVERLAPPED,
                                      kClientOverlappedCreateSite);
}

}  // namespace Con
