// The product log as the layers below it see it. The log (log_manager.h)
// writes files and reads the registry, so it sits above files, config and
// threading; what those layers log (a cancelled thread, a library that will
// not unload, runWrappedLogged) goes through this hook instead. The log
// installs itself here before the program's entry function runs, in every
// program it is linked into; without it the messages go nowhere.
#pragma once

#include "diagnostics/exceptions.h"

#include <string>

enum LogLevel : int {
    LogInfo = 0,
    LogWarning = 1,
    LogResult = 2,
    LogError = 3,
    LogUnexpected = 4,
    LogCrash = 5,
};

// Routes one formatted message at `level`. Never raises, except the thread's
// cancellation when it is not already unwinding.
using LogSinkFunction = void (*)(int level, const std::wstring& text);

// Installs `sink` for the whole process (null: none) and returns the previous one.
LogSinkFunction setLogSink(LogSinkFunction sink);

// Formats the text (vaformat) and hands it to the installed sink, as
// LogManager::print does. Never raises, except as the sink does.
void logToSink(int level, const wchar_t* format, ...);
// Hands the error's full text to the installed sink, as LogManager::logError.
void logErrorToSink(int level, const vexception& error);
