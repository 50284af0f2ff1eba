#include "product_settings.h"

#include "diagnostics/handles.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace testing_support {

ProductSettings::ProductSettings(const std::wstring& keyPath) {
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key_, nullptr);
    EXPECT_EQ(status, ERROR_SUCCESS);
}

ProductSettings::~ProductSettings() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->existed)
            ::RegSetValueExW(key_, it->name.c_str(), 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
        else
            ::RegDeleteValueW(key_, it->name.c_str());
    }
    if (key_) ::RegCloseKey(key_);
}

void ProductSettings::remember(const std::wstring& name) {
    for (const auto& s : saved_)
        if (s.name == name) return;
    Saved saved{name};
    DWORD size = 0;
    if (::RegQueryValueExW(key_, name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
        saved.existed = true;
        saved.data.resize(size);
        ::RegQueryValueExW(key_, name.c_str(), nullptr, &saved.type, saved.data.data(), &size);
    }
    saved_.push_back(std::move(saved));
}

void ProductSettings::setDword(const std::wstring& name, DWORD value) {
    remember(name);
    ASSERT_EQ(::RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
              ERROR_SUCCESS);
}

void ProductSettings::setString(const std::wstring& name, const std::wstring& value) {
    remember(name);
    ASSERT_EQ(::RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
}

void ProductSettings::setMultiString(const std::wstring& name, const std::vector<std::wstring>& values) {
    std::wstring data;
    for (const std::wstring& value : values) data += value + L'\0';
    data += L'\0';
    setRaw(name, REG_MULTI_SZ,
           std::string(reinterpret_cast<const char*>(data.data()), data.size() * sizeof(wchar_t)));
}

void ProductSettings::setRaw(const std::wstring& name, DWORD type, const std::string& bytes) {
    remember(name);
    ASSERT_EQ(::RegSetValueExW(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                               static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
}

void ProductSettings::remove(const std::wstring& name) {
    remember(name);
    ::RegDeleteValueW(key_, name.c_str());
}

std::vector<std::wstring> listNames(const std::wstring& directory, const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(::FindFirstFileW((directory + L"\\" + pattern).c_str(), &data));
    if (!find) return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end());
    return names;
}

void makeFile(const std::wstring& path, const std::string& bytes, std::optional<uint64_t> fileTime) {
    UniqueFileHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << "cannot create test file";
    DWORD written = 0;
    if (!bytes.empty()) ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (fileTime) {
        FILETIME time{static_cast<DWORD>(*fileTime), static_cast<DWORD>(*fileTime >> 32)};
        ::SetFileTime(file.get(), nullptr, nullptr, &time);
    }
}

namespace {

std::wstring childCommandLine(const std::string& test) {
    wchar_t program[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    return L"\"" + std::wstring(program) + L"\" --gtest_also_run_disabled_tests --gtest_filter=" +
           std::wstring(test.begin(), test.end());
}

// Sets QUARN_TEST_CHILD for the children started in this scope.
class ChildEnvironment {
public:
    explicit ChildEnvironment(const std::wstring& argument) {
        ::SetEnvironmentVariableW(L"QUARN_TEST_CHILD", argument.c_str());
    }
    ~ChildEnvironment() { ::SetEnvironmentVariableW(L"QUARN_TEST_CHILD", nullptr); }
};

}  // namespace

HANDLE startChildTest(const std::string& test, const std::wstring& argument) {
    ChildEnvironment environment(argument);
    return startProcess(childCommandLine(test));
}

long runChildTest(const std::string& test, const std::wstring& argument, std::string* output, DWORD timeoutMs) {
    ChildEnvironment environment(argument);
    if (!output) return runProcess(childCommandLine(test), timeoutMs);

    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return -1;
    UniqueHandle reader(readEnd), writer(writeEnd);
    ::SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writer.get();
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = childCommandLine(test);
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return -1;
    UniqueHandle process(info.hProcess), thread(info.hThread);
    writer.reset();

    // Read on this thread until the child closes its end; bounded by the
    // child's time-out, after which it is terminated (which closes the pipe).
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    char buffer[4096];
    while (true) {
        DWORD available = 0;
        if (!::PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available == 0) {
            if (::GetTickCount64() > deadline) {
                ::TerminateProcess(process.get(), 1);
                return -1;
            }
            ::Sleep(10);
            continue;
        }
        DWORD read = 0;
        if (!::ReadFile(reader.get(), buffer, sizeof(buffer), &read, nullptr) || read == 0) break;
        output->append(buffer, read);
    }
    if (::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<long>(code);
}

std::wstring childArgument() {
    wchar_t value[1024] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QUARN_TEST_CHILD", value, 1024);
    return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

std::wstring localDate(int daysFromToday) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    FILETIME fileTime;
    ::SystemTimeToFileTime(&now, &fileTime);
    ULARGE_INTEGER value{{fileTime.dwLowDateTime, fileTime.dwHighDateTime}};
    value.QuadPart += static_cast<int64_t>(daysFromToday) * 86400LL * 10000000LL;
    fileTime = {value.LowPart, value.HighPart};
    SYSTEMTIME shifted;
    ::FileTimeToSystemTime(&fileTime, &shifted);
    wchar_t text[16];
    swprintf(text, 16, L"%04d%02d%02d", shifted.wYear, shifted.wMonth, shifted.wDay);
    return text;
}

std::wstring debugLogText(const std::wstring& productRoot) {
    const std::string bytes =
        readFileBytes(productRoot + L"\\admin\\logs\\quarnlog_debug" + localDate(0) + L".log");
    if (bytes.size() < 2) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

}  // namespace testing_support
