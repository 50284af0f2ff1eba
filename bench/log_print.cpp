// Lines per second of LogManager::print with "Debug" on (a new log object,
// a directory listing, an open, a seek and five writes under the log's named
// mutex for every line) against a raw WriteFile append of the same line to
// an open file, measured in one run. Prints both rates and their ratio.
#include "diagnostics/log_manager.h"
#include "diagnostics/handles.h"

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

double seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"quarn-bench-log-" + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(root.c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin").c_str(), nullptr);
    ::CreateDirectoryW((root + L"\\admin\\logs").c_str(), nullptr);

    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_32KEY,
                          nullptr, &key, nullptr) != ERROR_SUCCESS) {
        std::printf("cannot open the configuration key\n");
        return 1;
    }
    const int lines = 2000;
    double printRate = 0, rawRate = 0;
    {
        const DWORD on = 1;
        Setting debug(key, L"Debug", REG_DWORD, &on, sizeof(on));
        Setting rootValue(key, L"PRODUCT_ROOT_D", REG_SZ, root.c_str(), DWORD((root.size() + 1) * sizeof(wchar_t)));

        LARGE_INTEGER start, end;
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < lines; ++i) LogManager::print(LogInfo, L"benchmark line %d with some text", i);
        ::QueryPerformanceCounter(&end);
        printRate = lines / seconds(start, end);

        // The same line as print writes it, appended with one WriteFile.
        const std::wstring rawPath = root + L"\\raw.log";
        UniqueFileHandle raw(::CreateFileW(rawPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < lines; ++i) {
            wchar_t line[160];
            SYSTEMTIME t;
            ::GetLocalTime(&t);
            const int length =
                swprintf(line, 160, L"%04d/%02d/%02d %02d:%02d:%02d:%03d %lu %lu Info: benchmark line %d with some text\r\n",
                         t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                         ::GetCurrentProcessId(), ::GetCurrentThreadId(), i);
            DWORD written = 0;
            ::WriteFile(raw.get(), line, DWORD(length * sizeof(wchar_t)), &written, nullptr);
        }
        ::QueryPerformanceCounter(&end);
        rawRate = lines / seconds(start, end);
    }
    ::RegCloseKey(key);

    std::printf("LogManager::print (Debug on): %.0f lines/s\n", printRate);
    std::printf("raw WriteFile append:         %.0f lines/s\n", rawRate);
    std::printf("ratio raw/print:              %.1f\n", rawRate / printRate);

    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((root + L"\\admin\\logs\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((root + L"\\admin\\logs\\" + data.cFileName).c_str());
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::DeleteFileW((root + L"\\raw.log").c_str());
    ::RemoveDirectoryW((root + L"\\admin\\logs").c_str());
    ::RemoveDirectoryW((root + L"\\admin").c_str());
    ::RemoveDirectoryW(root.c_str());
    return 0;
}
