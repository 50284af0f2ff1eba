#include "diagnostics/log_manager.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/quarn_log.h"
#include "diagnostics/text.h"
#include "threading/execute_context.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <exception>

namespace {

constexpr int kLevelCount = 6;

// The switch table's bytes: one per level for standard output, one per level
// for the event log, and whether a message was left open on standard output.
constexpr size_t kToStdout = 0;
constexpr size_t kToEventLog = 6;
constexpr size_t kStdoutUsed = 12;
static_assert(ExecuteContext::kSwitchBytes == kStdoutUsed + 1);

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

LogManager::LogManager() { switchTable(); }

LogManager::~LogManager() { releaseEventLog(); }

uint8_t* LogManager::switchTable() {
    bool created = false;
    uint8_t* table = ExecuteContext::get().ensureSwitches(created);
    if (created) {
        const uint8_t debug = debugEnabled() ? 1 : 0;
        const uint8_t defaults[ExecuteContext::kSwitchBytes] = {0, 0, 1, 1, 1, 1, debug, debug, debug, 1, 1, 1, 0};
        for (size_t i = 0; i < sizeof(defaults); ++i) table[i] = defaults[i];
    }
    return table;
}

bool LogManager::routesToStdout(int level) {
    return isRoutedLevel(level) && switchTable()[kToStdout + level] != 0;
}

void LogManager::setRoutesToStdout(int level, bool on) {
    if (isRoutedLevel(level)) switchTable()[kToStdout + level] = on ? 1 : 0;
}

bool LogManager::routesToEventLog(int level) {
    return isRoutedLevel(level) && switchTable()[kToEventLog + level] != 0;
}

void LogManager::setRoutesToEventLog(int level, bool on) {
    if (isRoutedLevel(level)) switchTable()[kToEventLog + level] = on ? 1 : 0;
}

void LogManager::endStdoutLine() {
    uint8_t* table = switchTable();
    if (!table[kStdoutUsed]) return;
    std::fputs("\n", stdout);
    table[kStdoutUsed] = 0;
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
        uint8_t* table = switchTable();
        if (table[kToEventLog + level]) writeEventLog(level, text);
        if (table[kToStdout + level]) {
            if (table[kStdoutUsed])
                std::fputs("\n", stdout);
            else
                table[kStdoutUsed] = 1;
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

void LogManager::routeFromBelow(int level, const std::wstring& text) {
    const int pending = std::uncaught_exceptions();
    try {
        instance().route(level, text);
    } catch (...) {
        swallowUnlessCanceled(pending);
    }
}

// The layers below the log report through log_sink.h from the start of the
// program: this object file is kept in every program that links the log (see
// the diagnostics CMakeLists), and its initialiser installs the log there.
extern "C" {
extern const bool quarnLogServesTheLayersBelow;
}
const bool quarnLogServesTheLayersBelow = (setLogSink(&LogManager::routeFromBelow), true);
