#include "database_fixture.h"

#include "product_settings.h"

#include "config/product_configuration.h"
#include "diagnostics/handles.h"
#include "test_support.h"

#include <cstdlib>

namespace dbtest {

ScopedEnv::ScopedEnv(const wchar_t* name, std::optional<std::wstring> value) : name_(name) {
    if (const wchar_t* old = _wgetenv(name)) saved_ = old;
    _wputenv_s(name, value ? value->c_str() : L"");
}

ScopedEnv::~ScopedEnv() { _wputenv_s(name_.c_str(), saved_ ? saved_->c_str() : L""); }

ServerEnvironment::ServerEnvironment(bool set) {
    const sandboxkit::DatabaseSettings s = server();
    const std::pair<const wchar_t*, std::wstring> values[] = {
        {L"QUARN_DB_HOST", s.host},       {L"QUARN_DB_PORT", s.port},   {L"QUARN_DB_LOGIN", s.login},
        {L"QUARN_DB_NAME", s.database},   {L"QUARN_DB_PASSWD", s.password}, {L"QUARN_DB_SOCK", L""},
    };
    for (const auto& [name, value] : values)
        variables_.push_back(std::make_unique<ScopedEnv>(name, set ? std::optional(value) : std::nullopt));
}

ScopedHklmValue::ScopedHklmValue(const wchar_t* key, const wchar_t* name) : key_(key), name_(name) {
    UniqueRegKey handle;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, handle.put()) != 0) return;
    DWORD size = 0;
    if (::RegQueryValueExW(handle.get(), name, nullptr, &type_, nullptr, &size) != 0) return;
    data_.resize(size);
    existed_ = ::RegQueryValueExW(handle.get(), name, nullptr, &type_, data_.data(), &size) == 0;
}

ScopedHklmValue::~ScopedHklmValue() {
    UniqueRegKey handle;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                          handle.put(), nullptr) != 0)
        return;
    if (existed_)
        ::RegSetValueExW(handle.get(), name_.c_str(), 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
    else
        ::RegDeleteValueW(handle.get(), name_.c_str());
}

void ScopedHklmValue::setDword(DWORD value) {
    UniqueRegKey handle;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY,
                                nullptr, handle.put(), nullptr),
              0);
    ASSERT_EQ(::RegSetValueExW(handle.get(), name_.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                               sizeof(value)),
              0);
}

void ScopedHklmValue::remove() {
    UniqueRegKey handle;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, handle.put()) == 0)
        ::RegDeleteValueW(handle.get(), name_.c_str());
}

sandboxkit::DatabaseSettings server() {
    static const sandboxkit::DatabaseSettings settings = sandboxkit::databaseSettings();
    return settings;
}

int32_t serverPort() { return static_cast<int32_t>(_wtol(server().port.c_str())); }

std::unique_ptr<MySQLDatabaseProvider> connectProduct() {
    auto provider = std::make_unique<MySQLDatabaseProvider>();
    const auto s = server();
    provider->connect(s.host, s.database, s.login, s.password, serverPort(), L"");
    return provider;
}

std::unique_ptr<MySQLDatabaseProvider> connectAdmin() {
    auto provider = std::make_unique<MySQLDatabaseProvider>();
    const auto s = server();
    provider->connect(s.host, L"mysql", s.adminLogin, s.adminPassword, serverPort(), L"");
    return provider;
}

std::wstring uniqueName(const std::wstring& prefix) {
    static int counter = 0;
    return prefix + std::to_wstring(::GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

std::wstring debugLog() { return testing_support::debugLogText(getProductRoot()); }

}  // namespace dbtest
