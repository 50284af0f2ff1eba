#include "config/product_configuration.h"

#include "config/quarnsrv_client.h"
#include "diagnostics/exceptions.h"
#include "files/file_name.h"
#include "threading/critical_section.h"
#include "threading/cancelation_point.h"

namespace {

constexpr ContextSite kProductRootSite{"getProductRoot", 0};

// The value's text, or `fallback` when the service cannot answer.
std::wstring stringOr(const wchar_t* name, const wchar_t* fallback) {
    try {
        return QuarnSrvClient::getInstance().getString(name);
    } catch (const ThreadCancelation::ThreadCanceled&) {
        throw;
    } catch (...) {
        return fallback;
    }
}

VCriticalSection& productRootLock() {
    static VCriticalSection lock;
    return lock;
}

}  // namespace

std::wstring getDbHost() { return stringOr(L"MySQL_DB_HOST", L"localhost"); }
std::wstring getDbLogin() { return stringOr(L"QUARN_DATABASE_LOGIN", L"admin"); }
std::wstring getDbName() { return stringOr(L"mySQLDBName", L"zrt"); }
std::wstring getDbPort() { return stringOr(L"MySQL_DB_PORT", L"8306"); }
std::wstring getDbProviderName() { return stringOr(L"QUARN_DATABASE_PROVIDER_NAME", L"MySQL"); }
std::wstring getDbPassword() { return QuarnSrvClient::getInstance().getPassword(L"pwd"); }

std::wstring getProductRoot() {
    // Kept for the life of the process once the service has answered.
    static std::wstring known;
    VCriticalSectionLock hold(productRootLock());
    if (known.empty()) {
        std::wstring root = VFileName::canonicalize(QuarnSrvClient::getInstance().getString(L"PRODUCT_ROOT_D"));
        while (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
        // An empty root would make every folder below it relative to the
        // current directory.
        if (root.empty()) throw vexception(L"PRODUCT_ROOT_D is empty", kProductRootSite.entry());
        known = root;
    }
    return known;
}

std::wstring getAdminDir() { return VFileName::combine(getProductRoot(), L"admin"); }
std::wstring getAdminBinDir() { return VFileName::combine(getProductRoot(), L"admin\\bin"); }
std::wstring getAdminBin64Dir() { return VFileName::combine(getProductRoot(), L"admin\\bin64"); }
