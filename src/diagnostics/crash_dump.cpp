#include "diagnostics/crash_dump.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/se_translator.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "files/directory.h"
#include "files/file.h"
#include "files/file_finder.h"
#include "files/file_name.h"
#include "files/remove_file.h"
#include "threading/date_time.h"
#include "threading/vhandle.h"

#include <dbghelp.h>

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <mutex>
#include <vector>

namespace {

constexpr ContextSite kFileNameSite{"CrashDumpInfo::getFileName", 696};
constexpr ContextSite kDumpSite{"internalDumpMiniDump", 745};
constexpr ContextSite kDumpWrapSite{"internalDumpMiniDump", 747};

std::wstring programPath() {
    wchar_t path[262] = {};
    ::GetModuleFileNameW(nullptr, path, 261);
    return path;
}

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;

// A fault that no handler takes ends the process: the last chance to leave
// a dump and a line in the logs. The first thread to get here writes them,
// asks the filter installed before this one (the C run time's, which may
// hand the fault to a signal handler that goes on), and otherwise ends the
// process with the fault's code; the program's own dump takes the place of
// the system's debugger or error report. A thread that faults meanwhile
// waits for that end.
LONG WINAPI lastChanceFilter(EXCEPTION_POINTERS* pointers) {
    static std::atomic<bool> entered{false};
    if (entered.exchange(true)) {
        ::Sleep(INFINITE);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (pointers && pointers->ExceptionRecord) {
        try {
            const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
            LogManager::print(LogCrash, L"Unhandled structured exception 0x%08lx at %p in thread %lu: the process ends",
                              static_cast<unsigned long>(record.ExceptionCode), record.ExceptionAddress,
                              ::GetCurrentThreadId());
            SeTranslatorScope untranslated(nullptr);
            writeCrashDump(pointers);
        } catch (...) {
            // Nothing more can be done for a process that is ending.
        }
    }
    const LONG previous = previousFilter ? previousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    if (previous == EXCEPTION_CONTINUE_EXECUTION) {
        entered = false;
        return previous;
    }
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

// The settings exist before the program's entry function runs, so that the
// first translated fault finds them ready, and the standard wrapping's
// translator writes a dump from then on; the last-chance filter is set up
// after the C run time's own, which it calls in turn. This object file is
// kept in every program that links the log (see the diagnostics CMakeLists).
extern "C" {
extern const bool quarnCrashDumpsAtStartup;
}
const bool quarnCrashDumpsAtStartup = (CrashDumpInfo::instance(), setDefaultSeTranslator(&seTranslator),
                                       previousFilter = ::SetUnhandledExceptionFilter(&lastChanceFilter), true);

CrashDumpInfo::CrashDumpInfo() {
    try {
        registry key(HKEY_LOCAL_MACHINE, product_config::kConfigKey, KEY_READ | KEY_WOW64_32KEY, false);
        DWORD enabled = 1;
        product_config::readDword(L"CrashDumpsEnabled", enabled);
        if (enabled == 0) {
            enabled_ = false;
            return;
        }
        std::wstring root;
        key.lookup(L"PRODUCT_ROOT_D", root);
        if (root.empty()) {
            enabled_ = false;
            return;
        }
        location_ = VFileName::combine(root, L"etc\\crashdumps");
        key.lookup(L"CrashDumpsLocation", location_);
        VDirectory::createDirectory(location_);
        DWORD maxCount = maxCount_;
        if (product_config::readDword(L"CrashDumpsMaxCount", maxCount)) maxCount_ = maxCount;
        prefix_ = VFileName::removeExtension(VFileName::fileName(programPath()));
    } catch (...) {
        enabled_ = false;
    }
}

CrashDumpInfo::~CrashDumpInfo() {
    if (enabled_) cleanupDumps();
}

CrashDumpInfo& CrashDumpInfo::instance() {
    static CrashDumpInfo info;
    return info;
}

std::wstring CrashDumpInfo::getFileName() {
    if (!enabled_) throw vexception(L"Crash dumping does not enabled", kFileNameSite.entry());
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    wchar_t stamp[16] = {};
    swprintf(stamp, 16, L"%04d%02d%02d_%02d%02d%02d", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
             now.wSecond);

    // Threads that fault at once take their names one after the other, and
    // each name is reserved by creating its file: a later dump of the same
    // second, from this process or another of the same program, takes the
    // next free counter ("_1", "_2"...) instead of replacing the earlier one.
    // Every name ends in ".dmp", which the clean-up counts.
    std::lock_guard<std::mutex> guard(nameLock_);
    // After the clean-up at exit no location is left to write to.
    if (location_.empty()) throw vexception(L"Crash dumping does not enabled", kFileNameSite.entry());
    std::wstring timePart, path;
    for (unsigned counter = 0; counter < kMaxDumpsPerSecond; ++counter) {
        timePart = std::wstring(stamp) + (counter ? format(L"_%u", counter) : std::wstring()) + L".dmp";
        path = location_ + L"\\" + prefix_ + timePart;
        const HANDLE reserved = ::CreateFileW(VFileName::toLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (reserved != INVALID_HANDLE_VALUE) {
            ::CloseHandle(reserved);
            break;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;  // the dump reports it
    }
    fileName_ = timePart;
    path_ = path;
    return path;
}

void CrashDumpInfo::cleanupDumps() {
    try {
        struct Dump {
            VDateTime written;
            std::wstring path;
        };
        std::vector<Dump> dumps;
        VFileFinder finder;
        for (bool found = finder.first(VFileName::combine(location_, L"*.dmp")); found; found = finder.next()) {
            if (finder.isDots() || finder.isDirectory()) continue;
            const std::wstring name = finder.name();
            // Only ".dmp" itself: the pattern also matches longer extensions
            // through short names, and ".zip" archives of dumps are kept.
            if (_wcsicmp(VFileName::extension(name).c_str(), L".dmp") != 0) continue;
            dumps.push_back({VDateTime(finder.lastWriteTime()), VFileName::combine(location_, name)});
        }
        std::stable_sort(dumps.begin(), dumps.end(),
                         [](const Dump& a, const Dump& b) { return a.written < b.written; });
        size_t first = 0;
        while (dumps.size() - first > maxCount_) removeFile(dumps[first++].path, true);
    } catch (...) {
    }
    std::lock_guard<std::mutex> guard(nameLock_);
    location_.clear();
    prefix_.clear();
    path_.clear();
}

void internalDumpMiniDump(const std::wstring& path, EXCEPTION_POINTERS* pointers, uint32_t dumpType) {
    runWrappedLogged(LogError, kDumpWrapSite.entry(L"Unable to generate dump file"), [&] {
        // Writing the dump runs untranslated: a fault here must not start
        // another dump.
        SeTranslatorScope untranslated(nullptr);
        MINIDUMP_EXCEPTION_INFORMATION information{};
        information.ThreadId = ::GetCurrentThreadId();
        information.ExceptionPointers = pointers;
        information.ClientPointers = TRUE;

        VFile file;
        // The whole path, also beyond MAX_PATH characters.
        file.open(VFileName::toLongPath(path), GENERIC_ALL, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
        UniqueFileHandle duplicate(VHandle::duplicate(file.handle()));
        const BOOL written = ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), duplicate.get(),
                                                 static_cast<MINIDUMP_TYPE>(dumpType), &information, nullptr, nullptr);
        const DWORD error = ::GetLastError();
        duplicate.reset();
        file.close();
        if (!written) raiseOsError(L"Unable to generate dump file", error, kDumpSite.entry());
    });
}

void writeCrashDump(EXCEPTION_POINTERS* pointers) {
    CrashDumpInfo& info = CrashDumpInfo::instance();
    if (!info.enabled()) return;
    // A name is taken only for a dump: taking one reserves its file.
    if (!pointers) return;
    const std::wstring path = info.getFileName();
    internalDumpMiniDump(path, pointers, info.dumpType());
}

void seTranslator(unsigned int, EXCEPTION_POINTERS* pointers) {
    try {
        writeCrashDump(pointers);
    } catch (...) {
    }
}
