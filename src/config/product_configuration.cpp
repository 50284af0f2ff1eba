// Interim implementation until the management-service client lands: the
// product root comes from the registry, the database settings are the
// defaults and there is no password.
#include "config/product_configuration.h"

#include "config/registry.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/product_config.h"
#include "files/file_name.h"

std::wstring getDbHost() { return L"localhost"; }
std::wstring getDbLogin() { return L"admin"; }
std::wstring getDbName() { return L"zrt"; }
std::wstring getDbPort() { return L"8306"; }
std::wstring getDbProviderName() { return L"MySQL"; }
std::wstring getDbPassword() { throw vexception(L"The management service client is not available"); }

std::wstring getProductRoot() {
    std::wstring root = VFileName::canonicalize(
        registry::getstr(HKEY_LOCAL_MACHINE, product_config::kConfigKey, L"PRODUCT_ROOT_D", registry::View32));
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    return root;
}
std::wstring getAdminDir() { return VFileName::combine(getProductRoot(), L"admin"); }
std::wstring getAdminBinDir() { return VFileName::combine(getProductRoot(), L"admin\\bin"); }
std::wstring getAdminBin64Dir() { return VFileName::combine(getProductRoot(), L"admin\\bin64"); }
