// Administration of a MySQL server over a connection of its own, logged in
// as an administrator to the "mysql" database.
#pragma once

#include "database/zrt_database.h"

#include <cstdint>
#include <string>

class MySQLAdministration {
public:
    // Connects as the administrator and executes
    // "SET SESSION old_passwords=0". Raises as the provider's connect.
    MySQLAdministration(const std::wstring& host, const std::wstring& adminLogin, const std::wstring& adminPassword,
                        int32_t port);

    // Whether a user (of any host) named exactly `login` exists.
    bool userExists(const std::wstring& login);
    // Grants every privilege with grant option to `login`@`clientHost`,
    // identified by `password` (created when missing). The password never
    // reaches the log or an error text.
    void grantAll(const std::wstring& login, const std::wstring& password, const std::wstring& clientHost);

    IDatabaseProvider* provider() const { return database_.provider(); }

private:
    ZRTDatabase database_;
};
