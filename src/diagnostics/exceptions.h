// The error model: every failure in the program is one of these exceptions.
//
//  - vexception and its subclasses: the program's own errors, a wide message
//    plus an ordered "at" chain of ContextEntry records;
//  - vosexception: a vexception carrying a platform error code; raiseOsError
//    picks one of thirteen subclasses by that code;
//  - the RunTime family: std::runtime_error subclasses with a narrow message,
//    raised by throwRuntimeError from the lower-level helpers;
//  - cwrpexception: a structured (hardware) exception turned into a C++ one;
//  - ThreadCancelation::ThreadCanceled: not an error but the unwinding of a
//    cancelled thread, which every catch-all passes on.
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class _com_error;

// One step of an error's path: what the operation was doing, the qualified
// function name ("service::startService") and a line identifying the place.
struct ContextEntry {
    std::wstring text;
    std::string function;
    int32_t line = 0;
};

// The fixed function name and line of a place that raises or wraps errors.
// Kept as named constants beside the code that uses them.
struct ContextSite {
    const char* function;
    int32_t line;

    ContextEntry entry(std::wstring text = {}) const { return {std::move(text), function, line}; }
};

class vexception {
public:
    vexception() = default;
    vexception(std::wstring message, ContextEntry entry);
    explicit vexception(std::wstring message);
    // The COM error text: the HRESULT's message, " (COM Error %08X", the
    // description when there is one, ")\n   at " and the where text; the
    // context holds one entry with empty text, `function` and `line`.
    vexception(const _com_error& error, const std::wstring& where, const char* function, int32_t line);

    vexception& addContext(ContextEntry entry);

    // The message followed, for each context entry oldest first, by
    // "\n   at " text "(" function " line " line ")".
    std::wstring fullText() const;

    const std::wstring& message() const { return message_; }
    const std::vector<ContextEntry>& context() const { return context_; }

protected:
    std::wstring message_;
    std::vector<ContextEntry> context_;
};

class vosexception : public vexception {
public:
    // message = the system text for `code`, " (Error code N)", and when
    // `where` is not null " at " + where.
    vosexception(const wchar_t* where, uint32_t code, ContextEntry entry);

    uint32_t code() const { return code_; }

private:
    uint32_t code_ = 0;
};

// The OS error message used by vosexception (exposed for the vaformat
// out-of-memory path, which reports code 14 without a where text).
std::wstring osErrorMessage(const wchar_t* where, uint32_t code);

#define QUARN_OS_EXCEPTION(Name)                  \
    class Name : public vosexception {            \
    public:                                       \
        using vosexception::vosexception;         \
    };

QUARN_OS_EXCEPTION(VFileNotFoundException)            // 2
QUARN_OS_EXCEPTION(VPathNotFoundException)            // 3
QUARN_OS_EXCEPTION(VAccessDeniedException)            // 5
QUARN_OS_EXCEPTION(VOutOfMemoryException)             // 14
QUARN_OS_EXCEPTION(VSharingViolationException)        // 32
QUARN_OS_EXCEPTION(VEOFException)                     // 38
QUARN_OS_EXCEPTION(VFileExistsException)              // 80
QUARN_OS_EXCEPTION(VInsufficientBufferException)      // 122
QUARN_OS_EXCEPTION(VAlreadyExistsException)           // 183
QUARN_OS_EXCEPTION(VServiceDoesNotExistException)     // 1060
QUARN_OS_EXCEPTION(VServiceMarkedForDeleteException)  // 1072
QUARN_OS_EXCEPTION(VServiceAlreadyExistsException)    // 1073
QUARN_OS_EXCEPTION(VPasswordTooShortException)        // 2245
#undef QUARN_OS_EXCEPTION

#define QUARN_PLAIN_EXCEPTION(Name)               \
    class Name : public vexception {              \
    public:                                       \
        using vexception::vexception;             \
        explicit Name(const vexception& e) : vexception(e) {} \
    };

QUARN_PLAIN_EXCEPTION(ArgumentException)
namespace VDatabase {
QUARN_PLAIN_EXCEPTION(ConnectException)
}
#undef QUARN_PLAIN_EXCEPTION

// Raises the vosexception subclass chosen by `code` (vosexception itself for
// an unmapped code). `where` may be null: no " at " part then.
[[noreturn]] void raiseOsError(const wchar_t* where, uint32_t code, ContextEntry entry);
[[noreturn]] void raiseOsError(const std::wstring& where, uint32_t code, ContextEntry entry);

// The COM error text without its where part: the HRESULT's system text,
// " (COM Error %08X" (" (COM Interop Error %08X" for a .NET error), the
// description when the error carries one, and ")".
std::wstring comErrorText(const _com_error& error);
// Throws _com_error for `hr` with the thread's error information (taken over
// from GetErrorInfo, when there is one).
[[noreturn]] void raiseComError(HRESULT hr);
// Raises unless `hr` succeeded.
inline void checkHResult(HRESULT hr) {
    if (FAILED(hr)) raiseComError(hr);
}

// A structured exception (access violation, division by zero...) after
// translation. Derives from nothing, so only the wrapping's own handler
// catches it.
class cwrpexception {
public:
    explicit cwrpexception(uint32_t code) : code_(code) {}
    uint32_t code() const { return code_; }
    // "C structured exception: 0x" + the code in lower-case hex.
    std::wstring text() const;

private:
    uint32_t code_;
};

namespace RunTime {
#define QUARN_RUNTIME_EXCEPTION(Name)             \
    class Name : public std::runtime_error {      \
    public:                                       \
        using std::runtime_error::runtime_error;  \
    };
QUARN_RUNTIME_EXCEPTION(PathNotFoundException)        // 2, 3
QUARN_RUNTIME_EXCEPTION(AccessDeniedException)        // 5
QUARN_RUNTIME_EXCEPTION(InvalidHandleException)       // 6
QUARN_RUNTIME_EXCEPTION(InvalidPathException)         // 15, 26, 34, 123, 161, 267
QUARN_RUNTIME_EXCEPTION(SharingViolationException)    // 32, 33, 36
QUARN_RUNTIME_EXCEPTION(AlreadyExistsException)       // 80, 183
QUARN_RUNTIME_EXCEPTION(DirectoryNotEmptyException)   // 145
QUARN_RUNTIME_EXCEPTION(NoneMappedException)          // 1332
#undef QUARN_RUNTIME_EXCEPTION
}  // namespace RunTime

// Formats the message; with a non-zero code appends ": (code) system text"
// and throws the RunTime class the code maps to (std::runtime_error for any
// other code or for 0).
[[noreturn]] void throwRuntimeError(const wchar_t* format, int code, ...);

namespace ThreadCancelation {

// Thrown through a thread that is being cancelled (threading/cancelation_point.h).
// Derives from nothing: every catch-all re-throws it first, and the thread's
// outermost frame ends the thread with exit code 0.
struct ThreadCanceled {};

}  // namespace ThreadCancelation
