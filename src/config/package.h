// The product's package registry: for each package type (a role such as a
// mail server) the installed package, and the Windows services each package
// owns. Read-only; everything is read through the 32-bit registry view under
// HKEY_LOCAL_MACHINE "SOFTWARE\Quarn\ZRT Config\Config\Packages".
#pragma once

#include "diagnostics/win32.h"

#include <cstdint>
#include <list>
#include <string>

class VPackage {
public:
    using NameList = std::list<std::wstring>;

    // The Packages key below HKEY_LOCAL_MACHINE.
    static const wchar_t* const kPackagesKey;

    // Appends the package types (the sub-keys of the Packages key) in index
    // order. Raises the registry's open error when the Packages key cannot
    // be opened (VFileNotFoundException when the product is not installed).
    static void getPackageTypes(NameList& types);

    // The name of the installed package of `type` (the type key's default
    // value); empty when it is missing or unreadable. Raises only for a value
    // that is not a string.
    static std::wstring getInstalledPackage(const std::wstring& type);

    // Appends the names of the package's services (the sub-keys of its
    // "services" key) in index order; nothing for the firewall package
    // "winfw" of type "firewall" (compared without case). Every error leaves
    // as a plain vexception with the context "Enum services of package
    // <type>/<name>", also the one of a package without a "services" key.
    static void getServices(const std::wstring& type, const std::wstring& name, NameList& services);

    // Reads the string value `valueName` of a service of a package into
    // `value` and returns the registry's result code (0 on success; `value`
    // is left alone otherwise). Raises only for a value that is not a string.
    static uint32_t getServiceValue(const std::wstring& type, const std::wstring& name, const std::wstring& service,
                                    const std::wstring& valueName, std::wstring& value);
};
