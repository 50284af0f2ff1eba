#include "config/package.h"

#include "config/registry.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "threading/cancelation_point.h"

#include <cwchar>

namespace {

constexpr ContextSite kGetServicesSite{"VPackage::getServices", 276};

std::wstring typeKey(const std::wstring& type) {
    return std::wstring(VPackage::kPackagesKey) + L"\\" + type;
}

std::wstring servicesKey(const std::wstring& type, const std::wstring& name) {
    return typeKey(type) + L"\\" + name + L"\\services";
}

}  // namespace

const wchar_t* const VPackage::kPackagesKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config\\Packages";

void VPackage::getPackageTypes(NameList& types) {
    registry packages(HKEY_LOCAL_MACHINE, kPackagesKey, KEY_READ | KEY_WOW64_32KEY, true);
    packages.enumKeys(types);
}

std::wstring VPackage::getInstalledPackage(const std::wstring& type) {
    std::wstring name;
    if (registry::lookup(HKEY_LOCAL_MACHINE, typeKey(type), L"", name, REG_SZ, registry::View32) != 0) name.clear();
    return name;
}

void VPackage::getServices(const std::wstring& type, const std::wstring& name, NameList& services) {
    runWrappedCancelable(
        [&] { return kGetServicesSite.entry(format(L"Enum services of package %s/%s", type.c_str(), name.c_str())); },
        [&] {
            // The Windows firewall is a package of its own but owns no
            // services the monitor controls.
            if (_wcsicmp(type.c_str(), L"firewall") == 0 && _wcsicmp(name.c_str(), L"winfw") == 0) return;
            registry key(HKEY_LOCAL_MACHINE, servicesKey(type, name), KEY_ENUMERATE_SUB_KEYS | KEY_WOW64_32KEY, true);
            key.enumKeys(services);
        });
}

uint32_t VPackage::getServiceValue(const std::wstring& type, const std::wstring& name, const std::wstring& service,
                                   const std::wstring& valueName, std::wstring& value) {
    return registry::lookup(HKEY_LOCAL_MACHINE, servicesKey(type, name) + L"\\" + service, valueName, value, REG_SZ,
                            registry::View32);
}
