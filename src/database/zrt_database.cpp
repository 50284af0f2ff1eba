#include "database/zrt_database.h"

#include "config/product_configuration.h"
#include "config/registry.h"
#include "database/statement_mask.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"

#include <objbase.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr ContextSite kConnectSite{"ZRTDatabase::connect", 65};
constexpr const wchar_t* kInstallerKey = L"SOFTWARE\\QUARN\\Installer\\QuarnCP";

std::wstring configuredProviderName() {
    try {
        return getDbProviderName();
    } catch (const vexception&) {
    } catch (const std::exception&) {
    }
    return L"MySQL";
}

// The variable's value when it is set and not empty, else `fallback()`.
template <class Fallback>
std::wstring fromEnvironment(const wchar_t* variable, Fallback fallback) {
    const wchar_t* value = _wgetenv(variable);
    if (value != nullptr && *value != L'\0') return value;
    return fallback();
}

IDatabaseProvider* createProvider(const std::wstring& name) {
    std::unique_ptr<IDatabaseProvider> provider(CreateDatabaseProvider(name));
    ::CoInitialize(nullptr);
    return provider.release();
}

}  // namespace

ZRTDatabase::ZRTDatabase(bool connectNow) : ZRTDatabase(configuredProviderName(), connectNow) {}

ZRTDatabase::ZRTDatabase(const std::wstring& providerName, bool connectNow)
    : provider_(createProvider(providerName)) {
    if (!connectNow) return;
    try {
        connect();
    } catch (...) {
        delete provider_;
        throw;
    }
}

ZRTDatabase::~ZRTDatabase() { delete provider_; }

ZRTConnectionSettings ZRTDatabase::connectionSettings() {
    ZRTConnectionSettings settings;
    settings.host = fromEnvironment(L"QUARN_DB_HOST", getDbHost);
    settings.login = fromEnvironment(L"QUARN_DB_LOGIN", getDbLogin);
    settings.database = fromEnvironment(L"QUARN_DB_NAME", getDbName);
    settings.password = fromEnvironment(L"QUARN_DB_PASSWD", getDbPassword);
    settings.port = static_cast<int32_t>(_wtol(fromEnvironment(L"QUARN_DB_PORT", getDbPort).c_str()));
    settings.socket = fromEnvironment(L"QUARN_DB_SOCK", [] { return std::wstring(); });
    return settings;
}

void ZRTDatabase::requireInstalled() {
    if (!registry::valueExists(HKEY_LOCAL_MACHINE, kInstallerKey, L"INSTALLDIR", registry::View32))
        throw vexception(L"Unable to connect to Quarn database on service node", kConnectSite.entry());
}

void ZRTDatabase::connect() {
    requireInstalled();
    if (provider_->isConnected()) return;
    const ZRTConnectionSettings settings = connectionSettings();
    provider_->connect(settings.host, settings.database, settings.login, settings.password, settings.port,
                       settings.socket);
}

void ZRTDatabase::execute(const std::wstring& sql) {
    LogManager::print(LogInfo, L"SQL: %s", maskPasswords(sql, provider_->dialect()).c_str());
    provider_->execute(sql);
}
