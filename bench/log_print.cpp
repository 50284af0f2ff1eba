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

// One registry value read as a static lookup does it.
void lookup(const wchar_t* name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return;
    BYTE data[2 * MAX_PATH];
    DWORD type = 0, size = sizeof(data);
    ::RegQueryValueExW(key, name, nullptr, &type, data, &size);
    ::RegCloseKey(key);
}

void writeText(HANDLE file, const wchar_t* text, int length) {
    DWORD written = 0;
    ::WriteFile(file, text, DWORD(length * sizeof(wchar_t)), &written, nullptr);
}

// The line as the design writes it, with the platform's calls only.
void rawLine(const std::wstring& logs) {
    static unsigned queries = 0;
    if ((queries++ & 15) == 0) lookup(L"Debug");
    lookup(L"PRODUCT_ROOT_D");
    lookup(L"log_debug_enabled");
    lookup(L"log_debug_history");
    lookup(L"log_debug_rotation");

    SECURITY_DESCRIPTOR descriptor;
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
    HANDLE mutex = ::CreateMutexW(&attributes, FALSE, L"quarn-bench-raw-debug");
    ::WaitForSingleObject(mutex, INFINITE);
    ::WaitForSingleObject(mutex, INFINITE);  // the rotation

    WIN32_FIND_DATAW data;
    std::wstring last;
    HANDLE find = ::FindFirstFileW((logs + L"\\quarnlog_debug*.log").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) last = data.cFileName;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    wchar_t name[64];
    swprintf(name, 64, L"\\quarnlog_debug%04d%02d%02d.log", t.wYear, t.wMonth, t.wDay);
    HANDLE file = ::CreateFileW((logs + name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ::ReleaseMutex(mutex);

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
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
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
    removeRoot(root);
    removeRoot(rawRoot);
    return 0;
}
