// The product log's front door: every part of the program logs through
// LogManager::print and LogManager::logError.
//
// A message goes, by its level, to up to three outputs:
//  - the debug file (the product log "debug"), every level, while the
//    registry switch "Debug" is on; the line's text is "<level name>: text";
//  - the Windows event log, the product's own log "Quarn" (event_log.h), per
//    level (Error and above by default; Info, Warning and Result when
//    "Debug" was on when the switches were set up);
//  - standard output, per level (Result and above by default), UTF-8,
//    messages separated by line feeds with none after the last.
// The per-level switches are the log's; their 13 bytes are kept in the
// process's ExecuteContext, shared by all modules of the process. The layers
// below the log reach it through log_sink.h, which the log serves.
#pragma once

#include "diagnostics/exceptions.h"
#include "diagnostics/log_sink.h"
#include "diagnostics/win32.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// "Info", "Warning", "Result", "Error", "Unexpected", "Crash"; any other
// value "Unknown level".
const char* logLevelName(int level);

class LogManager {
public:
    // Formats the text (vaformat) and routes it by level. Never raises, except
    // the thread's cancellation when it is not already unwinding.
    static void print(int level, const wchar_t* format, ...);
    // Routes the error's full text the same way. Never raises (as print).
    static void logError(int level, const vexception& error);

    // The process's instance, created on first use, destroyed at exit.
    static LogManager& instance();

    // The registry switch "Debug" (HKLM config key, 32-bit view). Re-read on
    // the first query and then on every sixteenth; the other queries answer
    // from the cached value. A failed read answers off.
    static bool debugEnabled();

    // The process-wide routing switches of `level` (0..5): whether its
    // messages go to standard output, to the event log. The table is created
    // with its defaults when no module of the process has created it yet.
    static bool routesToStdout(int level);
    static void setRoutesToStdout(int level, bool on);
    static bool routesToEventLog(int level);
    static void setRoutesToEventLog(int level, bool on);
    // Messages on standard output are separated by line feeds, with none
    // after the last: ends the one left open with its line feed now, for
    // output of the program's own that must start on a line of its own. The
    // next message then starts without one.
    static void endStdoutLine();

    // The event source of this program in the product's event log "Quarn",
    // registered on first use (registerEventSource, event_log.h) and kept.
    // The source name is the one held here, by default the program's file
    // name with its extension. Any failure answers null, and the next call
    // tries again. Never raises, except the thread's cancellation.
    HANDLE getEventLog();
    // Reports `text` at `level` as event 1 of category 0 with two strings:
    // `text` and the program's full path. Info is an information event,
    // Warning a warning, Result a success, Error and above an error. False
    // when it was not reported; a failed report also releases the source, so
    // that the next message registers it again. Never raises, except the
    // thread's cancellation.
    bool writeEventLog(int level, const std::wstring& text);

    // Routes one formatted message (the work behind print and logError).
    void route(int level, const std::wstring& text);
    // The log sink (log_sink.h) of the layers below the log: route on the
    // process's instance. Never raises (as print).
    static void routeFromBelow(int level, const std::wstring& text);

    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

private:
    LogManager();
    // Releases the event source (DeregisterEventSource).
    ~LogManager();
    void releaseEventLog() noexcept;
    // The switch table (ExecuteContext::kSwitchBytes bytes), created with its
    // defaults when missing.
    static uint8_t* switchTable();

    // Threads may log at once: the handle changes hands atomically, so that
    // one registration is kept and a failed one is released only once.
    std::atomic<HANDLE> eventSource_{nullptr};
    std::wstring eventSourceName_;  // empty until the first registration chooses it
    std::once_flag sourceNameChosen_;
};
