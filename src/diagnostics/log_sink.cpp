#include "diagnostics/log_sink.h"

#include "diagnostics/text.h"

#include <atomic>
#include <cstdarg>

namespace {

// Constant-initialised: ready before any dynamic initialiser installs a sink.
std::atomic<LogSinkFunction> installedSink{nullptr};

}  // namespace

LogSinkFunction setLogSink(LogSinkFunction sink) {
    return installedSink.exchange(sink);
}

void logToSink(int level, const wchar_t* format, ...) {
    const LogSinkFunction sink = installedSink.load();
    if (!sink) return;
    std::wstring text;
    va_list args;
    va_start(args, format);
    try {
        text = vaformat(format, args);
    } catch (...) {
        // Out of memory: the message is lost, like any failure of the log.
        va_end(args);
        return;
    }
    va_end(args);
    sink(level, text);
}

void logErrorToSink(int level, const vexception& error) {
    const LogSinkFunction sink = installedSink.load();
    if (!sink) return;
    std::wstring text;
    try {
        text = error.fullText();
    } catch (...) {
        return;
    }
    sink(level, text);
}
