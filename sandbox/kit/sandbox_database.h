// Where the sandbox's MariaDB server is: the values scripts/test and
// scripts/demo lay out after starting it. The management service answers
// the product's questions from the same keys.
#pragma once

#include <string>

namespace sandboxkit {

struct DatabaseSettings {
    std::wstring host;      // "MySQL_DB_HOST" of quarnsrv's settings
    std::wstring port;      // "MySQL_DB_PORT"
    std::wstring login;     // "QUARN_DATABASE_LOGIN"
    std::wstring database;  // "mySQLDBName"
    std::wstring password;  // quarnsrv's password "pwd"
    std::wstring adminLogin;     // an administrator of the server (tests only)
    std::wstring adminPassword;
};

// Reads HKLM "SOFTWARE\Quarn Sandbox\quarnsrv\Settings", "...\Passwords" and
// "SOFTWARE\Quarn Sandbox\MariaDB" (32-bit view). Throws std::runtime_error
// naming the value when one is missing.
DatabaseSettings databaseSettings();

}  // namespace sandboxkit
