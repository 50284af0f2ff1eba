#include "diagnostics/log_manager.h"

#include <string>

// The event source is registered under the program's file name. The product
// event log's registry keys and message file are not set up here yet: the
// system then shows the events without their message file.

namespace {

std::wstring programPath() {
    wchar_t path[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

WORD eventType(int level) {
    switch (level) {
    case 0: return EVENTLOG_INFORMATION_TYPE;
    case 1: return EVENTLOG_WARNING_TYPE;
    case 2: return EVENTLOG_SUCCESS;
    default: return EVENTLOG_ERROR_TYPE;
    }
}

}  // namespace

HANDLE LogManager::getEventLog() {
    if (eventSource_) return eventSource_;
    if (eventSourceName_.empty()) {
        const std::wstring path = programPath();
        eventSourceName_ = path.substr(path.find_last_of(L"\\/") + 1);
    }
    eventSource_ = ::RegisterEventSourceW(nullptr, eventSourceName_.c_str());
    return eventSource_;
}

bool LogManager::writeEventLog(int level, const std::wstring& text) {
    HANDLE source = getEventLog();
    if (!source) return false;
    const std::wstring path = programPath();
    const wchar_t* strings[2] = {text.c_str(), path.c_str()};
    if (!::ReportEventW(source, eventType(level), 0, 1, nullptr, 2, 0, strings, nullptr)) {
        ::DeregisterEventSource(source);
        eventSource_ = nullptr;
        return false;
    }
    return true;
}
