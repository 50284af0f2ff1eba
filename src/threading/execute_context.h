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

// The log routing switches, one byte each.
struct LogSwitches {
    uint8_t toStdout[6];    // bytes 0..5: level 0..5 goes to standard output
    uint8_t toEventLog[6];  // bytes 6..11: level 0..5 goes to the event log
    uint8_t stdoutUsed;     // byte 12: something was already written to standard output

    uint8_t& operator[](size_t index) { return reinterpret_cast<uint8_t*>(this)[index]; }
    uint8_t operator[](size_t index) const { return reinterpret_cast<const uint8_t*>(this)[index]; }
};
static_assert(sizeof(LogSwitches) == 13);

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

    // The switch table, or null while nobody has created it.
    LogSwitches* switches() const { return switches_; }
    // The switch table, created with all bytes 0 when missing; `created`
    // tells the caller to fill in its defaults.
    LogSwitches& ensureSwitches(bool& created);

    // Number of modules that use this context.
    int32_t refcount() const { return refcount_; }

    ExecuteContext(const ExecuteContext&) = delete;
    ExecuteContext& operator=(const ExecuteContext&) = delete;

private:
    ExecuteContext() = default;
    ~ExecuteContext();

    ThreadCancelation::CancelationRegistry* registry_ = nullptr;
    LogSwitches* switches_ = nullptr;
    int32_t refcount_ = 1;
};
