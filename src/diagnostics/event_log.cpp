#include "diagnostics/event_log.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "files/file_name.h"
#include "threading/cancelation_point.h"
#include "threading/exclusive_task.h"

namespace {

constexpr ContextSite kGetEventLogSite{"LogManager::getEventLog", 486};

constexpr wchar_t kProductLogName[] = L"Quarn";
constexpr wchar_t kRegistrationMutex[] = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
constexpr wchar_t kEventLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
constexpr wchar_t kApplicationSources[] = L"System\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr wchar_t kProductSources[] = L"System\\CurrentControlSet\\Services\\EventLog\\Quarn\\";

constexpr DWORD kMaxSize = 0x800000;
constexpr DWORD kRetention = 0;
constexpr DWORD kTypesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
constexpr DWORD kEventId = 1;
constexpr WORD kCategory = 0;

// The main module's full path, cut at 260 characters.
std::wstring programPath() {
    wchar_t path[MAX_PATH + 1] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

WORD eventType(int level) {
    switch (level) {
    case LogInfo: return EVENTLOG_INFORMATION_TYPE;
    case LogWarning: return EVENTLOG_WARNING_TYPE;
    case LogResult: return EVENTLOG_SUCCESS;
    default: return EVENTLOG_ERROR_TYPE;
    }
}

}  // namespace

void ensureEventLog(const std::wstring& logName) {
    const std::wstring key = std::wstring(kEventLogKey) + L"\\" + logName;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, key, registry::ProcessView)) return;
    registry log(HKEY_LOCAL_MACHINE, key, KEY_ALL_ACCESS, false);
    log.set(L"MaxSize", kMaxSize);
    log.set(L"Retention", kRetention);
}

HANDLE registerEventSource(const std::wstring& name) {
    ExclusiveTask lock(kRegistrationMutex, INFINITE);
    ensureEventLog(kProductLogName);

    std::wstring source = name;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, kApplicationSources + name, registry::ProcessView))
        source = std::wstring(kProductLogName) + L":  " + name;

    // Read before the source key is made, so that a missing message file
    // leaves no half-registered source behind.
    const std::wstring messageFile =
        registry::getstr(HKEY_LOCAL_MACHINE, product_config::kConfigKey, L"QuarnService", registry::View32);

    registry key(HKEY_LOCAL_MACHINE, kProductSources + source, KEY_SET_VALUE, false);
    key.set(L"TypesSupported", kTypesSupported);
    key.set(L"EventMessageFile", messageFile.c_str());
    return ::RegisterEventSourceW(nullptr, source.c_str());
}

HANDLE LogManager::getEventLog() {
    if (HANDLE held = eventSource_.load()) return held;
    try {
        std::call_once(sourceNameChosen_, [this] {
            if (eventSourceName_.empty()) eventSourceName_ = VFileName::fileName(programPath());
        });
        HANDLE source = registerEventSource(eventSourceName_);
        if (!source) raiseOsError(L"RegisterEventSource", ::GetLastError(), kGetEventLogSite.entry());
        // Another thread may have registered meanwhile: keep its handle.
        HANDLE expected = nullptr;
        if (eventSource_.compare_exchange_strong(expected, source)) return source;
        ::DeregisterEventSource(source);
        return expected;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;
    } catch (...) {
        // Not registered this time; the next message tries again.
        return nullptr;
    }
}

bool LogManager::writeEventLog(int level, const std::wstring& text) {
    HANDLE source = getEventLog();
    if (!source) return false;
    const std::wstring path = programPath();
    const wchar_t* strings[2] = {text.c_str(), path.c_str()};
    if (::ReportEventW(source, eventType(level), kCategory, kEventId, nullptr, 2, 0, strings, nullptr)) return true;
    // Only the thread that takes the handle away releases it.
    HANDLE expected = source;
    if (eventSource_.compare_exchange_strong(expected, nullptr)) ::DeregisterEventSource(source);
    return false;
}

void LogManager::releaseEventLog() noexcept {
    if (HANDLE held = eventSource_.exchange(nullptr)) ::DeregisterEventSource(held);
}
