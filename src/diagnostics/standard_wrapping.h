// The standard wrapping: every boundary operation runs its body through
// runWrapped, so whatever escapes becomes a plain vexception with one more
// context entry, and a structured exception inside the body is translated.
#pragma once

#include "diagnostics/exceptions.h"
#include "diagnostics/log_sink.h"
#include "diagnostics/se_translator.h"

#include <type_traits>
#include <utility>

// Converts the exception being handled (call only inside a catch block) into
// a plain vexception with `entry` appended, in this order of kinds:
// std::exception, vexception (any subclass: the class and code are dropped),
// _com_error, cwrpexception, anything else ("Unexpected error").
// A thread cancellation is re-thrown unchanged.
vexception currentAsVexception(const ContextEntry& entry);

namespace wrapping_detail {
template <class Entry>
ContextEntry makeEntry(Entry&& entry) {
    if constexpr (std::is_invocable_v<Entry>)
        return std::forward<Entry>(entry)();
    else
        return ContextEntry(std::forward<Entry>(entry));
}
}  // namespace wrapping_detail

// Runs `body` inside the standard wrapping and returns its result.
// `entry` is a ContextEntry, or a callable returning one (built only when an
// error has to be wrapped, for entries formatted from arguments).
template <class Entry, class Body>
decltype(auto) runWrapped(Entry&& entry, Body&& body) {
    SeTranslatorScope translator;
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        throw currentAsVexception(wrapping_detail::makeEntry(std::forward<Entry>(entry)));
    }
}

// Runs `body` inside the standard wrapping; an error is written to the log at
// `level` (through log_sink.h, as LogManager::logError) instead of leaving. Returns true when the body completed.
template <class Entry, class Body>
bool runWrappedLogged(int level, Entry&& entry, Body&& body) {
    try {
        runWrapped(std::forward<Entry>(entry), std::forward<Body>(body));
        return true;
    } catch (const vexception& error) {
        logErrorToSink(level, error);
        return false;
    }
}
