#include "diagnostics/log_manager.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/quarn_log.h"
#include "diagnostics/text.h"
#include "threading/cancelation_point.h"
#include "threading/execute_context.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <exception>

namespace {

constexpr int kLevelCount = 6;

bool isRoutedLevel(int level) { return level >= 0 && level < kLevelCount; }

// Swallows whatever the current catch block handles, except a thread
// cancellation that is not raised during another exception's unwinding
// (`pendingAtEntry` is std::uncaught_exceptions() on entry to the logging
// call): that one continues to the thread's outermost frame.
void swallowUnlessCanceled(int pendingAtEntry) {
    try {
        throw;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        if (pendingAtEntry == 0) throw;
    } catch (...) {
    }
}

// True while this thread writes a debug file line. A message logged from
// inside that write (a log file that cannot be removed, for example) skips
// the debug file instead of recursing into it.
thread_local bool tWritingDebugFile = false;

}  // namespace

const char* logLevelName(int level) {
    static const char* const kNames[kLevelCount] = {"Info", "Warning", "Result", "Error", "Unexpected", "Crash"};
    return isRoutedLevel(level) ? kNames[level] : "Unknown level";
}

LogManager& LogManager::instance() {
    static LogManager manager;
    return manager;
}

LogManager::LogManager() { switches(); }

LogManager::~LogManager() { releaseEventLog(); }

LogSwitches& LogManager::switches() {
    bool created = false;
    LogSwitches& table = ExecuteContext::get().ensureSwitches(created);
    if (created) {
        const uint8_t debug = debugEnabled() ? 1 : 0;
        const uint8_t defaults[13] = {0, 0, 1, 1, 1, 1, debug, debug, debug, 1, 1, 1, 0};
        for (size_t i = 0; i < sizeof(defaults); ++i) table[i] = defaults[i];
    }
    return table;
}

bool LogManager::debugEnabled() {
    static std::atomic<uint32_t> queries{0};
    static std::atomic<DWORD> cached{0};
    if ((queries.fetch_add(1) & 0xF) == 0) {
        // Missing or malformed: off, like the default, until it is read again.
        DWORD value = 0;
        product_config::readDword(L"Debug", value);
        cached = value;
    }
    return cached != 0;
}

void LogManager::route(int level, const std::wstring& text) {
    const int pending = std::uncaught_exceptions();

    if (debugEnabled() && !tWritingDebugFile) {
        tWritingDebugFile = true;
        try {
            quarn::logging::QuarnLog log(L"debug", true);
            log.write(wstr(logLevelName(level)) + L": " + text);
        } catch (...) {
            tWritingDebugFile = false;
            swallowUnlessCanceled(pending);
        }
        tWritingDebugFile = false;
    }
    if (!isRoutedLevel(level)) return;

    try {
        LogSwitches& table = switches();
        if (table[6 + level]) writeEventLog(level, text);
        if (table[level]) {
            if (table[12])
                std::fputs("\n", stdout);
            else
                table[12] = 1;
            std::fputs(cstr(text, CP_UTF8).c_str(), stdout);
            std::fflush(stdout);
        }
    } catch (...) {
        swallowUnlessCanceled(pending);
    }
}

void LogManager::print(int level, const wchar_t* format, ...) {
    const int pending = std::uncaught_exceptions();
    try {
        va_list args;
        va_start(args, format);
        std::wstring text;
        try {
            text = vaformat(format, args);
        } catch (...) {
            va_end(args);
            throw;
        }
        va_end(args);
        instance().route(level, text);
    } catch (...) {
        swallowUnlessCanceled(pending);
    }
}

void LogManager::logError(int level, const vexception& error) {
    const int pending = std::uncaught_exceptions();
    try {
        instance().route(level, error.fullText());
    } catch (...) {
        swallowUnlessCanceled(pending);
    }
}
