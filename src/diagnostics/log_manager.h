// The product log's front door: every part of the program logs through
// LogManager::print and LogManager::logError.
#pragma once

#include "diagnostics/exceptions.h"

enum LogLevel : int {
    LogInfo = 0,
    LogWarning = 1,
    LogResult = 2,
    LogError = 3,
    LogUnexpected = 4,
    LogCrash = 5,
};

class LogManager {
public:
    // Formats the text and routes it by level to the debug file, the event
    // log and standard output. Never raises.
    static void print(int level, const wchar_t* format, ...);
    // Routes the error's full text the same way. Never raises.
    static void logError(int level, const vexception& error);
};
