// Helpers shared by the process tests.
#pragma once

#include "diagnostics/exceptions.h"
#include "threading/cancelation_point.h"

#include <gtest/gtest.h>

#include <optional>

namespace process_testing {

// Runs `body` and returns the exception of type `Error` it raised; records a
// failure (and returns an empty value) when it raised nothing or something
// else.
template <class Error, class Body>
std::optional<Error> expectError(Body body) {
    try {
        body();
    } catch (const Error& error) {
        return error;
    } catch (...) {
        ADD_FAILURE() << "another kind of exception";
        return std::nullopt;
    }
    ADD_FAILURE() << "nothing raised";
    return std::nullopt;
}

// Runs `body` on a thread of its own; an error it raises is recorded as a
// test failure instead of ending the program.
template <class Body>
UniqueHandle startHelperThread(Body body) {
    return ThreadCancelation::startThread([body]() mutable {
        try {
            body();
        } catch (const vexception& error) {
            ADD_FAILURE() << "helper thread: " << testing::PrintToString(error.fullText());
        }
    });
}

// Milliseconds since `start` (a GetTickCount64 value).
inline ULONGLONG elapsedSince(ULONGLONG start) { return ::GetTickCount64() - start; }

}  // namespace process_testing
