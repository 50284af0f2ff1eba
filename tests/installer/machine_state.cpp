#include "machine_state.h"

#include "app/running_monitors.h"
#include "diagnostics/handles.h"
#include "test_support.h"

#include <msi.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>

namespace installer_test {

namespace {

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    wchar_t* path = nullptr;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, &path))) result = path;
    ::CoTaskMemFree(path);
    return result;
}

UniqueRegKey openMachineKey(const std::wstring& key, REGSAM view) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS) return {};
    return UniqueRegKey(opened);
}

std::optional<std::wstring> stringValue(HKEY key, const wchar_t* subkey, const wchar_t* name) {
    DWORD bytes = 0;
    if (::RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    std::wstring text(bytes / sizeof(wchar_t), L'\0');
    if (::RegGetValueW(key, subkey, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes) != ERROR_SUCCESS)
        return std::nullopt;
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

void snapshotKey(HKEY key, REGSAM view, const std::wstring& path, std::wstring& out) {
    wchar_t name[16384];
    std::vector<BYTE> data(65536);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 16384, type = 0, size = static_cast<DWORD>(data.size());
        if (::RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        out += path + L" [" + name + L"] type " + std::to_wstring(type) + L":";
        for (DWORD b = 0; b < size; ++b) {
            wchar_t hex[4];
            swprintf(hex, 4, L"%02x", data[b]);
            out += hex;
        }
        out += L"\n";
    }
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 16384;
        if (::RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::wstring child = path + L"\\" + name;
        out += child + L"\n";
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(key, name, 0, KEY_READ | view, &opened) == ERROR_SUCCESS) {
            UniqueRegKey owner(opened);
            snapshotKey(opened, view, child, out);
        }
    }
}

void snapshotFolder(const std::wstring& folder, std::wstring& out) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            out += path + L"\\\n";
            snapshotFolder(path, out);
        } else {
            out += path + L" " + std::to_wstring(entry.nFileSizeLow) + L"\n";
        }
    } while (::FindNextFileW(find.get(), &entry));
}

}  // namespace

std::wstring packagePath(const std::wstring& name) {
    return testing_support::binDir() + L"\\..\\installer-test\\" + name;
}

long msiexec(const std::wstring& arguments) {
    return testing_support::runProcess(L"msiexec " + arguments + L" /qn", 120000);
}

std::wstring installFolder() {
    return knownFolder(sizeof(void*) == 8 ? FOLDERID_ProgramFilesX64 : FOLDERID_ProgramFilesX86) + L"\\Quarn\\Services Monitor";
}

std::wstring otherArchInstallFolder() {
    return knownFolder(sizeof(void*) == 8 ? FOLDERID_ProgramFilesX86 : FOLDERID_ProgramFilesX64) + L"\\Quarn\\Services Monitor";
}

std::vector<UninstallEntry> uninstallEntries() {
    const std::wstring root = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
    std::vector<UninstallEntry> entries;
    UniqueRegKey uninstall = openMachineKey(root, kPackageView);
    if (!uninstall) return entries;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (::RegEnumKeyExW(uninstall.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (stringValue(uninstall.get(), name, L"DisplayName").value_or(L"") != kProductName) continue;
        entries.push_back({name, stringValue(uninstall.get(), name, L"DisplayVersion").value_or(L""),
                           stringValue(uninstall.get(), name, L"Publisher").value_or(L"")});
    }
    return entries;
}

std::vector<std::wstring> relatedProducts() {
    std::vector<std::wstring> products;
    wchar_t product[39];
    for (DWORD i = 0; ::MsiEnumRelatedProductsW(kUpgradeCode, 0, i, product) == ERROR_SUCCESS; ++i)
        products.push_back(product);
    return products;
}

void removeEveryInstallation() {
    for (const std::wstring& product : relatedProducts()) msiexec(L"/x " + product);
}

std::optional<std::wstring> machineValue(const std::wstring& key, const std::wstring& name, REGSAM view) {
    UniqueRegKey opened = openMachineKey(key, view);
    if (!opened) return std::nullopt;
    return stringValue(opened.get(), nullptr, name.c_str());
}

std::wstring findShortcut() {
    for (REFKNOWNFOLDERID folder : {FOLDERID_CommonPrograms, FOLDERID_Programs}) {
        const std::wstring link = knownFolder(folder) + L"\\" + kProductName + L".lnk";
        if (fileExists(link)) return link;
    }
    return {};
}

std::wstring shortcutTarget(const std::wstring& link) {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    std::wstring target;
    IShellLinkW* shellLink = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                     reinterpret_cast<void**>(&shellLink)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
                SUCCEEDED(shellLink->GetPath(path, MAX_PATH, nullptr, 0)))
                target = path;
            file->Release();
        }
        shellLink->Release();
    }
    ::CoUninitialize();
    return target;
}

std::wstring fileVersion(const std::wstring& program) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(program.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!::GetFileVersionInfoW(program.c_str(), 0, size, block.data()) ||
        !::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info)
        return {};
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info->dwFileVersionMS)) +
           L"." + std::to_wstring(HIWORD(info->dwFileVersionLS));
}

std::wstring keySnapshot(const std::wstring& key, REGSAM view) {
    UniqueRegKey opened = openMachineKey(key, view);
    if (!opened) return {};
    std::wstring out = key + L"\n";
    snapshotKey(opened.get(), view, key, out);
    return out;
}

std::wstring folderSnapshot(const std::wstring& folder) {
    if (!fileExists(folder)) return {};
    std::wstring out = folder + L"\\\n";
    snapshotFolder(folder, out);
    return out;
}

bool fileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace installer_test

namespace installer_test {

std::wstring productVersion(const std::wstring& productCode) {
    wchar_t version[64] = {};
    DWORD length = 64;
    if (::MsiGetProductInfoW(productCode.c_str(), INSTALLPROPERTY_VERSIONSTRING, version, &length) != ERROR_SUCCESS)
        return {};
    return version;
}

long msiexecLogged(const std::wstring& arguments, std::string& log) {
    testing_support::ScratchDir folder;
    const std::wstring path = folder.path() + L"\\msiexec.log";
    const long code = msiexec(arguments + L" /l*v \"" + path + L"\"");
    log = testing_support::readFileBytes(path);
    log.erase(std::remove(log.begin(), log.end(), '\0'), log.end());
    return code;
}

std::vector<std::string> startedActions(const std::string& log) {
    std::vector<std::string> actions;
    const std::string marker = "Action start ";
    for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1)) {
        // "Action start 5:41:06: LaunchConditions."
        const size_t name = log.find(": ", at + marker.size());
        const size_t end = log.find_first_of(".\r\n", name == std::string::npos ? at : name + 2);
        if (name == std::string::npos || end == std::string::npos) break;
        actions.push_back(log.substr(name + 2, end - name - 2));
    }
    return actions;
}

std::vector<MonitorProcess> monitorProcesses() {
    std::vector<MonitorProcess> found;
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"svcsentry.exe") != 0) continue;
        MonitorProcess monitor{entry.th32ProcessID, L""};
        UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (process) monitor.program = programOf(process.get());
        found.push_back(monitor);
    }
    return found;
}

bool trayIconPresent(HWND window) {
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = 1;
    // Changing nothing succeeds only for an icon the notification area holds.
    data.uFlags = 0;
    return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

std::wstring program() { return installFolder() + L"\\svcsentry.exe"; }

long install(const std::wstring& package) { return msiexec(L"/i \"" + packagePath(package) + L"\""); }

bool samePath(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

}  // namespace installer_test
