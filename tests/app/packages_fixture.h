// A package registry of the test's own: the Packages subtree (32-bit view)
// that was there is copied aside (under HKEY_CURRENT_USER) and put back when
// the object ends. Header-only: used by the app and the config tests.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <stdexcept>
#include <string>

namespace testing_support {

class PackagesSandbox {
public:
    static constexpr const wchar_t* kConfigKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
    static constexpr const wchar_t* kPackagesKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config\\Packages";

    // Moves the current Packages subtree aside and starts with an empty
    // Packages key, or with none when `createPackagesKey` is false.
    explicit PackagesSandbox(bool createPackagesKey = true)
        : backup_(L"Software\\QuarnMonitorTests\\Packages" + std::to_wstring(::GetCurrentProcessId())) {
        UniqueRegKey current;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPackagesKey, 0, KEY_READ | KEY_WOW64_32KEY, current.put()) ==
            ERROR_SUCCESS) {
            ::RegDeleteTreeW(HKEY_CURRENT_USER, backup_.c_str());
            UniqueRegKey target = createKey(HKEY_CURRENT_USER, backup_, 0);
            check(::RegCopyTreeW(current.get(), nullptr, target.get()), L"RegCopyTree to backup");
            hadPackages_ = true;
        }
        removePackagesKey();
        if (createPackagesKey) createPackages(L"");
    }

    ~PackagesSandbox() {
        removePackagesKey();
        if (!hadPackages_) return;
        UniqueRegKey source;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, backup_.c_str(), 0, KEY_READ, source.put()) != ERROR_SUCCESS) return;
        UniqueRegKey target = createKey(HKEY_LOCAL_MACHINE, kPackagesKey, KEY_WOW64_32KEY);
        ::RegCopyTreeW(source.get(), nullptr, target.get());
        source.reset();
        ::RegDeleteTreeW(HKEY_CURRENT_USER, backup_.c_str());
    }

    PackagesSandbox(const PackagesSandbox&) = delete;
    PackagesSandbox& operator=(const PackagesSandbox&) = delete;

    void removePackagesKey() {
        UniqueRegKey config;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, config.put()) ==
            ERROR_SUCCESS)
            ::RegDeleteTreeW(config.get(), L"Packages");
    }

    // Creates a key below Packages ("" for Packages itself).
    void createPackages(const std::wstring& below) {
        createKey(HKEY_LOCAL_MACHINE, path(below), KEY_WOW64_32KEY);
    }

    // The type's key with `package` as its installed package (REG_SZ).
    void setInstalled(const std::wstring& type, const std::wstring& package) {
        setString(type, L"", package, REG_SZ);
    }

    // A service of a package, with a "Group" value unless `group` is null.
    void addService(const std::wstring& type, const std::wstring& package, const std::wstring& service,
                    const wchar_t* group = nullptr, DWORD groupType = REG_SZ) {
        const std::wstring key = type + L"\\" + package + L"\\services\\" + service;
        createPackages(key);
        if (group) setString(key, L"Group", group, groupType);
    }

    // A string value (REG_SZ or REG_EXPAND_SZ) of a key below Packages.
    void setString(const std::wstring& below, const std::wstring& name, const std::wstring& text, DWORD type) {
        UniqueRegKey key = createKey(HKEY_LOCAL_MACHINE, path(below), KEY_WOW64_32KEY);
        const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        check(::RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
              L"RegSetValueEx " + name);
    }

    void setNumber(const std::wstring& below, const std::wstring& name, DWORD number) {
        UniqueRegKey key = createKey(HKEY_LOCAL_MACHINE, path(below), KEY_WOW64_32KEY);
        check(::RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                               sizeof(number)),
              L"RegSetValueEx " + name);
    }

    static std::wstring path(const std::wstring& below) {
        return below.empty() ? std::wstring(kPackagesKey) : std::wstring(kPackagesKey) + L"\\" + below;
    }

private:
    static void check(LSTATUS status, const std::wstring& what) {
        if (status != ERROR_SUCCESS)
            throw std::runtime_error("packages sandbox: " + std::string(what.begin(), what.end()) + " failed with " +
                                     std::to_string(status));
    }

    static UniqueRegKey createKey(HKEY root, const std::wstring& subKey, REGSAM view) {
        UniqueRegKey key;
        check(::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.put(),
                                nullptr),
              L"RegCreateKeyEx " + subKey);
        return key;
    }

    std::wstring backup_;
    bool hadPackages_ = false;
};

}  // namespace testing_support
