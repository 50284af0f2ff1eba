// One debug-log line, LogManager::print with "Debug" on, against the
// platform calls that the log's design makes for each line, done raw: the
// registry reads ("Debug" on every sixteenth line, "PRODUCT_ROOT_D" and the
// log's three settings, each lookup opening and closing its key), the log's
// named mutex (created, taken for the write and again for the rotation,
// released, closed), the listing of the log's files, the file opened, the
// seek to its end, the five writes of the line and the close.
#include "bench_timing.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "threading/execute_context.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

constexpr wchar_t kConfigKey[] = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
// A key as deep as the product's, in the program's own registry view, for
// the cost of the product's 32-bit view against it.
constexpr wchar_t kOwnViewRoot[] = L"SOFTWARE\\QuarnBench";
constexpr wchar_t kOwnViewKey[] = L"SOFTWARE\\QuarnBench\\ZRT Config\\Config";

// Sets a value of the product configuration for the run and restores it.
class Setting {
public:
    Setting(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) : key_(key), name_(name) {
        DWORD length = 0;
        if (::RegQueryValueExW(key_, name_, nullptr, &type_, nullptr, &length) == ERROR_SUCCESS) {
            old_.resize(length);
            ::RegQueryValueExW(key_, name_, nullptr, &type_, old_.data(), &length);
            existed_ = true;
        }
        ::RegSetValueExW(key_, name_, 0, type, static_cast<const BYTE*>(data), size);
    }
    ~Setting() {
        if (existed_)
            ::RegSetValueExW(key_, name_, 0, type_, old_.data(), static_cast<DWORD>(old_.size()));
        else
            ::RegDeleteValueW(key_, name_);
    }

private:
    HKEY key_;
    const wchar_t* name_;
    DWORD type_ = 0;
    std::basic_string<BYTE> old_;
    bool existed_ = false;
};

constexpr wchar_t kText[] = L"Info: benchmark line with some text";

// One registry value read as a static lookup does it, in the product's view
// (the 32-bit one) or, for the comparison below, in the program's own.
void lookup(const wchar_t* name, const wchar_t* subKey = kConfigKey, REGSAM view = KEY_WOW64_32KEY) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ | view, &key) != ERROR_SUCCESS) return;
    BYTE data[2 * MAX_PATH];
    DWORD type = 0, size = sizeof(data);
    ::RegQueryValueExW(key, name, nullptr, &type, data, &size);
    ::RegCloseKey(key);
}

void writeText(HANDLE file, const wchar_t* text, int length) {
    DWORD written = 0;
    ::WriteFile(file, text, DWORD(length * sizeof(wchar_t)), &written, nullptr);
}

// The parts of one line as the design makes it, with the platform's calls
// only; each is also timed on its own.

void rawSettings(const wchar_t* subKey, REGSAM view) {
    static unsigned queries = 0;
    if ((queries++ & 15) == 0) lookup(L"Debug", subKey, view);
    lookup(L"PRODUCT_ROOT_D", subKey, view);
    lookup(L"log_debug_enabled", subKey, view);
    lookup(L"log_debug_history", subKey, view);
    lookup(L"log_debug_rotation", subKey, view);
}

HANDLE rawMutexTaken() {
    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    HANDLE mutex = ::CreateMutexW(&attributes, FALSE, L"quarn-bench-raw-debug");
    ::WaitForSingleObject(mutex, INFINITE);
    ::WaitForSingleObject(mutex, INFINITE);  // the rotation
    return mutex;
}

void rawMutexReleased(HANDLE mutex) {
    ::ReleaseMutex(mutex);
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
}

void rawListing(const std::wstring& logs) {
    WIN32_FIND_DATAW data;
    std::wstring last;
    HANDLE find = ::FindFirstFileW((logs + L"\\quarnlog_debug*.log").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) last = data.cFileName;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
}

void rawFile(const std::wstring& logs) {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    wchar_t name[64];
    swprintf(name, 64, L"\\quarnlog_debug%04d%02d%02d.log", t.wYear, t.wMonth, t.wDay);
    HANDLE file = ::CreateFileW((logs + name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER end{};
    ::SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END);
    if (end.QuadPart == 0) writeText(file, L"\xFEFF", 1);
    wchar_t part[64];
    ::GetLocalTime(&t);
    writeText(file, part, swprintf(part, 64, L"%04d/%02d/%02d %02d:%02d:%02d:%03d", t.wYear, t.wMonth, t.wDay,
                                   t.wHour, t.wMinute, t.wSecond, t.wMilliseconds));
    writeText(file, part, swprintf(part, 64, L" %lu", ::GetCurrentProcessId()));
    writeText(file, part, swprintf(part, 64, L" %lu", ::GetCurrentThreadId()));
    writeText(file, L" ", 1);  // with the text, as one write
    writeText(file, kText, static_cast<int>(wcslen(kText)));
    writeText(file, L"\r\n", 2);
    ::CloseHandle(file);
}

// The whole line. The design lets the mutex go once the file is open and
// again after the close; both releases come after the close here, which
// costs the same calls.
void rawLine(const std::wstring& logs) {
    rawSettings(kConfigKey, KEY_WOW64_32KEY);
    HANDLE mutex = rawMutexTaken();
    rawListing(logs);
    rawFile(logs);
    rawMutexReleased(mutex);
}

std::wstring makeRoot(const wchar_t* what) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root =
        std::wstring(temp) + L"quarn-bench-" + what + L"-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);
    return root;
}

void removeRoot(const std::wstring& root) {
    const std::wstring logs = root + L"\\admin\\logs";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((logs + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((logs + L"\\" + data.cFileName).c_str());
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(logs.c_str());
    ::RemoveDirectoryW((root + L"\\admin").c_str());
    ::RemoveDirectoryW(root.c_str());
}

// Where the raw line's time goes, part by part, and what the product's
// 32-bit registry view costs against the program's own view.
void printParts(const std::wstring& logs) {
    HKEY own = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kOwnViewKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &own,
                          nullptr) != ERROR_SUCCESS) {
        std::printf("cannot create %ls\n", kOwnViewKey);
        return;
    }
    const DWORD zero = 0;
    for (const wchar_t* name : {L"Debug", L"log_debug_enabled", L"log_debug_history", L"log_debug_rotation"})
        ::RegSetValueExW(own, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof(zero));
    ::RegSetValueExW(own, L"PRODUCT_ROOT_D", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"C:\\"), 4 * sizeof(wchar_t));
    ::RegCloseKey(own);

    constexpr int kLines = 200, kRounds = 5;
    double settings = 1e300, ownView = 1e300, mutex = 1e300, listing = 1e300, file = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        settings = std::min(settings, microsecondsPerCall(kLines, [] { rawSettings(kConfigKey, KEY_WOW64_32KEY); }));
        ownView = std::min(ownView, microsecondsPerCall(kLines, [] { rawSettings(kOwnViewKey, 0); }));
        mutex = std::min(mutex, microsecondsPerCall(kLines, [] { rawMutexReleased(rawMutexTaken()); }));
        listing = std::min(listing, microsecondsPerCall(kLines, [&] { rawListing(logs); }));
        file = std::min(file, microsecondsPerCall(kLines, [&] { rawFile(logs); }));
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kOwnViewRoot);
    std::printf("the raw line's parts, us per line:\n");
    std::printf("  registry reads, product's 32-bit view  %8.1f\n", settings);
    std::printf("  the same reads in the program's view    %8.1f\n", ownView);
    std::printf("  named mutex                             %8.1f\n", mutex);
    std::printf("  listing of the log's files              %8.1f\n", listing);
    std::printf("  file opened, written, closed            %8.1f\n", file);
    printResult("debug-log line's registry reads, 32-bit view / own view", settings, ownView, "us");
}

}  // namespace

int main() {
    const std::wstring root = makeRoot(L"log");
    const std::wstring rawRoot = makeRoot(L"rawlog");
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        std::printf("cannot open the configuration key\n");
        return 1;
    }
    // Only the debug file: Info goes neither to standard output nor, once
    // the switches are set, to the event log.
    for (int level = 0; level < 6; ++level) {
        LogManager::setRoutesToStdout(level, false);
        LogManager::setRoutesToEventLog(level, false);
    }
    constexpr int kLines = 200, kRounds = 10;
    double print = 1e300, raw = 1e300;
    {
        const DWORD on = 1;
        Setting debug(key, L"Debug", REG_DWORD, &on, sizeof(on));
        Setting rootValue(key, L"PRODUCT_ROOT_D", REG_SZ, root.c_str(), DWORD((root.size() + 1) * sizeof(wchar_t)));
        const std::wstring rawLogs = rawRoot + L"\\admin\\logs";
        // The debug switch is read again on every sixteenth query: a warm-up
        // round sees it on before the measured ones.
        for (int i = 0; i < 32; ++i) LogManager::print(LogInfo, L"warm-up line");
        // Interleaved rounds; the best of each counts.
        for (int round = 0; round < kRounds; ++round) {
            print = std::min(print, microsecondsPerCall(kLines, [] {
                                 LogManager::print(LogInfo, L"benchmark line with some text");
                             }));
            raw = std::min(raw, microsecondsPerCall(kLines, [&] { rawLine(rawLogs); }));
        }
    }
    ::RegCloseKey(key);
    std::printf("LogManager::print (Debug on): %.1f us per line\n", print);
    std::printf("raw calls of the design:      %.1f us per line\n", raw);
    printResult("debug-log line / the design's raw calls", print, raw, "us");
    printParts(rawRoot + L"\\admin\\logs");
    removeRoot(root);
    removeRoot(rawRoot);
    return 0;
}
