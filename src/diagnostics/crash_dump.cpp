#include "diagnostics/crash_dump.h"

#include "config/registry.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/product_config.h"
#include "diagnostics/se_translator.h"
#include "diagnostics/standard_wrapping.h"
#include "files/directory.h"
#include "files/file.h"
#include "files/file_finder.h"
#include "files/file_name.h"
#include "files/remove_file.h"
#include "threading/date_time.h"
#include "threading/vhandle.h"

#include <dbghelp.h>

#include <algorithm>
#include <cwchar>
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

// The settings exist before the program's entry function runs, so that the
// first translated fault finds them ready.
[[maybe_unused]] const bool kCreatedAtStartup = (CrashDumpInfo::instance(), true);

}  // namespace

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
    wchar_t timePart[20] = {};
    swprintf(timePart, 20, L"%04d%02d%02d_%02d%02d%02d.dmp", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    std::copy(std::begin(timePart), std::end(timePart), fileName_);
    wchar_t path[261] = {};
    swprintf(path, 261, L"%ls\\%ls%ls", location_.c_str(), prefix_.c_str(), timePart);
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
        file.open(path, GENERIC_ALL, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
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
    const std::wstring path = info.getFileName();
    if (pointers) internalDumpMiniDump(path, pointers, info.dumpType());
}

void seTranslator(unsigned int, EXCEPTION_POINTERS* pointers) {
    try {
        writeCrashDump(pointers);
    } catch (...) {
    }
}
