// The per-process context shared by the program and every module of the
// process built with this library: the log switches and the cancellation
// registry. Each module exports a pointer to it under one fixed name; the
// first module that needs it adopts the context another module already
// published, or creates one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ThreadCancelation {
class CancelationRegistry;
}

#define QUARN_EXECUTE_CONTEXT_SYMBOL "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22"

class ExecuteContext {
public:
    // The process's context. The first call of a module looks for a context
    // published by another module of the process (through its exported
    // pointer) and adopts it, or creates a new one; either way the module
    // releases its reference at exit (releaseAtExit).
    static ExecuteContext& get();

    // What the module's exit handler runs: gives up the module's reference.
    // The context itself is never destroyed: other threads may still be
    // running, and opening and closing cancellation points, while the exit
    // handlers run. get() keeps answering the same context afterwards.
    static void releaseAtExit();

    // The cancellation registry, created at the first call.
    ThreadCancelation::CancelationRegistry& registry();

    // The log's routing switches are kept here, so that every module of the
    // process shares them; what the bytes mean is the log's business
    // (diagnostics/log_manager.h), and the log is the one that changes them.
    static constexpr size_t kSwitchBytes = 13;
    // The switch table, or null while nobody has created it.
    uint8_t* switches() const { return switches_; }
    // The switch table, created with all kSwitchBytes bytes 0 when missing;
    // `created` tells the caller to fill in its defaults.
    uint8_t* ensureSwitches(bool& created);

    // Number of modules that use this context.
    int32_t refcount() const { return refcount_; }

    ExecuteContext(const ExecuteContext&) = delete;
    ExecuteContext& operator=(const ExecuteContext&) = delete;

private:
    ExecuteContext() = default;
    ~ExecuteContext();

    ThreadCancelation::CancelationRegistry* registry_ = nullptr;
    uint8_t* switches_ = nullptr;
    int32_t refcount_ = 1;
};
