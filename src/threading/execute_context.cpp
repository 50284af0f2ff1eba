#include "threading/execute_context.h"

#include "diagnostics/win32.h"
#include "threading/cancelation_registry.h"
#include "threading/exclusive_task.h"

#include <psapi.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

// This module's published pointer to the process's context; other modules of
// the process look it up by name. The build keeps this object file in every
// program (see the threading CMakeLists).
extern "C" {
__declspec(dllexport) ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
}

namespace {

ExecuteContext*& ownPointer() {
    return m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
}

// The process's modules; empty when the list cannot be read or does not fit
// after one retry with the reported size.
std::vector<HMODULE> processModules() {
    const HANDLE process = ::GetCurrentProcess();
    std::vector<HMODULE> modules(1024 / sizeof(HMODULE));
    DWORD needed = 0;
    DWORD bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
    if (!::EnumProcessModules(process, modules.data(), bytes, &needed)) return {};
    if (needed > bytes) {
        modules.resize((needed + sizeof(HMODULE) - 1) / sizeof(HMODULE));
        bytes = static_cast<DWORD>(modules.size() * sizeof(HMODULE));
        if (!::EnumProcessModules(process, modules.data(), bytes, &needed) || needed > bytes) return {};
    }
    modules.resize(needed / sizeof(HMODULE));
    return modules;
}

// The context another module of the process has published, or null.
ExecuteContext* findPublishedContext() {
    for (HMODULE module : processModules()) {
        const FARPROC symbol = ::GetProcAddress(module, QUARN_EXECUTE_CONTEXT_SYMBOL);
        if (!symbol) continue;
        ExecuteContext* context = *reinterpret_cast<ExecuteContext* const*>(symbol);
        if (context) return context;
    }
    return nullptr;
}

// Serialises this module's first look-up between its own threads.
std::mutex& lookupLock() {
    static std::mutex lock;
    return lock;
}

// The release at exit has run. A look-up after it (from a destructor that
// runs later in the exit) finds the same context but registers no second
// release.
bool g_releasedAtExit = false;

}  // namespace

ExecuteContext& ExecuteContext::get() {
    std::atomic_ref<ExecuteContext*> own(ownPointer());
    if (ExecuteContext* context = own.load(std::memory_order_acquire)) return *context;
    std::lock_guard<std::mutex> guard(lookupLock());
    if (ExecuteContext* context = own.load(std::memory_order_acquire)) return *context;
    ExecuteContext* context = findPublishedContext();
    if (context)
        ++context->refcount_;
    else
        context = new ExecuteContext();
    own.store(context, std::memory_order_release);
    if (!g_releasedAtExit) std::atexit(&ExecuteContext::releaseAtExit);
    return *context;
}

void ExecuteContext::releaseAtExit() {
    g_releasedAtExit = true;
    // Only the count goes: the exit handlers run while the process's other
    // threads still run, and each cancellation point they open or close
    // reaches the registry's TLS index and critical section. The process's
    // end reclaims the memory, and this module's pointer keeps leading its
    // later callers to the same context.
    if (ExecuteContext* context = ownPointer()) --context->refcount_;
}

ExecuteContext::~ExecuteContext() {
    delete registry_;
    delete[] switches_;
}

ThreadCancelation::CancelationRegistry& ExecuteContext::registry() {
    std::atomic_ref<ThreadCancelation::CancelationRegistry*> registry(registry_);
    if (ThreadCancelation::CancelationRegistry* existing = registry.load(std::memory_order_acquire))
        return *existing;
    // Threads and modules of the process may race here: one creates, the
    // others wait for the mutex and find the registry created.
    ExclusiveTask creation(L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:" + std::to_wstring(::GetCurrentProcessId()),
                           INFINITE);
    if (!registry.load(std::memory_order_acquire))
        registry.store(new ThreadCancelation::CancelationRegistry(), std::memory_order_release);
    return *registry.load(std::memory_order_acquire);
}

uint8_t* ExecuteContext::ensureSwitches(bool& created) {
    created = false;
    if (!switches_) {
        switches_ = new uint8_t[kSwitchBytes]{};
        created = true;
    }
    return switches_;
}
