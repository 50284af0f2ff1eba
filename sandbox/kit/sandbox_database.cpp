#include "sandbox_database.h"

#include "diagnostics/win32.h"

#include <stdexcept>

namespace sandboxkit {

namespace {

std::wstring readValue(const wchar_t* key, const wchar_t* name) {
    wchar_t data[512] = {};
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = 0;
    HKEY handle = nullptr;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &handle);
    if (status == ERROR_SUCCESS) {
        status = ::RegQueryValueExW(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        ::RegCloseKey(handle);
        if (status == ERROR_SUCCESS && type != REG_SZ) status = ERROR_INVALID_DATATYPE;
    }
    if (status != ERROR_SUCCESS) {
        std::string text = "sandbox database setting missing: ";
        for (const wchar_t* c = name; *c; ++c) text += static_cast<char>(*c);
        throw std::runtime_error(text + " (" + std::to_string(status) + ")");
    }
    return data;
}

}  // namespace

DatabaseSettings databaseSettings() {
    constexpr const wchar_t* kSettings = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings";
    constexpr const wchar_t* kPasswords = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Passwords";
    constexpr const wchar_t* kServer = L"SOFTWARE\\Quarn Sandbox\\MariaDB";
    DatabaseSettings settings;
    settings.host = readValue(kSettings, L"MySQL_DB_HOST");
    settings.port = readValue(kSettings, L"MySQL_DB_PORT");
    settings.login = readValue(kSettings, L"QUARN_DATABASE_LOGIN");
    settings.database = readValue(kSettings, L"mySQLDBName");
    settings.password = readValue(kPasswords, L"pwd");
    settings.adminLogin = readValue(kServer, L"AdminLogin");
    settings.adminPassword = readValue(kServer, L"AdminPassword");
    return settings;
}

}  // namespace sandboxkit
