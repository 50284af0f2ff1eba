#include "sitectl_control.h"

#include "sitectl_files.h"

#include <stdexcept>

namespace sandboxkit {

namespace {

std::wstring runsPath() { return sitectlFolder() + L"\\sitectl-runs.txt"; }

std::string readAll(const std::wstring& path) {
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    ::CloseHandle(file);
    return bytes;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

void deleteControlKey() {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, sitectl::kControlKey, KEY_WOW64_32KEY, 0);
}

}  // namespace

std::wstring sitectlPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/")) + L"\\sitectl.exe";
}

std::wstring sitectlFolder() { return sitectl::folder(sitectlPath()); }

std::vector<std::wstring> sitectlRuns() {
    const std::wstring text = fromUtf8(readAll(runsPath()));
    std::vector<std::wstring> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find(L"\r\n", begin);
        if (end == std::wstring::npos) end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 2;
    }
    return lines;
}

void clearSitectlRuns() { ::DeleteFileW(runsPath().c_str()); }

std::wstring websiteState() { return fromUtf8(readAll(sitectlFolder() + L"\\website-state.txt")); }

SitectlControl::SitectlControl() {
    deleteControlKey();
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sitectl::kControlKey, 0, nullptr, 0,
                                             KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key_, nullptr);
    if (status != ERROR_SUCCESS) throw std::runtime_error("RegCreateKeyEx of the sitectl control key failed");
}

SitectlControl::~SitectlControl() {
    ::RegCloseKey(key_);
    deleteControlKey();
}

void SitectlControl::setText(const std::wstring& name, const std::wstring& text) {
    if (::RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
        throw std::runtime_error("RegSetValueEx of a sitectl control value failed");
}

void SitectlControl::setNumber(const std::wstring& name, DWORD value) {
    if (::RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) !=
        ERROR_SUCCESS)
        throw std::runtime_error("RegSetValueEx of a sitectl control value failed");
}

}  // namespace sandboxkit
