#include "test_support.h"

#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "layout.h"

#include <objbase.h>
#include <gtest/gtest.h>

#include <cwctype>

#include <string>
#include <vector>

namespace testing_support {

std::wstring binDir() {
    return sandbox::layout::programFolder();
}

std::wstring systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
        0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer ? buffer : L"", n);
    if (buffer) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

std::string readFileBytes(const std::wstring& path) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

HANDLE startProcess(const std::wstring& commandLine, const std::wstring& outputFile) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    UniqueFileHandle output;
    if (!outputFile.empty()) {
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        output.reset(::CreateFileW(outputFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output) return nullptr;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output.get();
        startup.hStdError = output.get();
    }
    PROCESS_INFORMATION info{};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, output ? TRUE : FALSE, 0, nullptr, nullptr,
                          &startup, &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

std::wstring capturedOutputFile(const std::wstring& what) {
    static const wchar_t kFolder[] = L"C:\\QuarnTestOutput";
    ::CreateDirectoryW(kFolder, nullptr);
    static int count = 0;
    std::wstring test = L"test";
    if (const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info())
        test = wstr(std::string(info->test_suite_name()) + "." + info->name());
    for (wchar_t& c : test)
        if (!iswalnum(c) && c != L'.' && c != L'_') c = L'_';
    return std::wstring(kFolder) + L"\\" + test + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(++count) + L"-" + what + L".txt";
}

long runProcess(const std::wstring& commandLine, DWORD timeoutMs) {
    UniqueHandle process(startProcess(commandLine));
    if (!process) return -1;
    if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<long>(code);
}

ScratchDir::ScratchDir() {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t name[64];
    swprintf(name, 64, L"qtest-%08lx%04x", guid.Data1, guid.Data2);
    path_ = std::wstring(temp) + name;
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

namespace {

// Deletes a folder with everything in it. Works through the long-path form,
// because tests build trees deeper than MAX_PATH (the shell's file operation
// cannot delete those and must never be handed one).
void deleteTree(const std::wstring& longPath) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((longPath + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = longPath + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                deleteTree(child);
            } else {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &entry));
        ::FindClose(find);
    }
    ::SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::RemoveDirectoryW(longPath.c_str());
}

}  // namespace

ScratchDir::~ScratchDir() {
    if (path_.size() > 3) deleteTree(L"\\\\?\\" + path_);
}

}  // namespace testing_support
