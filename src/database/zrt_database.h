// The product database: the provider the product configuration names,
// connected with the parameters of the process environment or, where a
// variable is unset or empty, of the product configuration. Lives for one
// operation on one thread.
#pragma once

#include "database/database_provider.h"

#include <cstdint>
#include <string>

struct ZRTConnectionSettings {
    std::wstring host;
    std::wstring database;
    std::wstring login;
    std::wstring password;
    int32_t port = 0;
    std::wstring socket;
};

class ZRTDatabase {
public:
    // Creates the configured provider ("QUARN_DATABASE_PROVIDER_NAME",
    // "MySQL" when it cannot be read), initialises COM on this thread and,
    // with `connectNow`, connects. On failure nothing is left behind and the
    // error propagates.
    explicit ZRTDatabase(bool connectNow);
    // The same with the provider `providerName`.
    ZRTDatabase(const std::wstring& providerName, bool connectNow);
    ~ZRTDatabase();
    ZRTDatabase(const ZRTDatabase&) = delete;
    ZRTDatabase& operator=(const ZRTDatabase&) = delete;

    // requireInstalled (and then reads nothing else); does nothing while
    // connected; otherwise connects with connectionSettings().
    void connect();
    // Raises "Unable to connect to Quarn database on service node" on a node
    // without the control panel's "INSTALLDIR".
    static void requireInstalled();
    // Logs "SQL: %s" (passwords hidden) at level Info and executes.
    void execute(const std::wstring& sql);

    IDatabaseProvider* provider() const { return provider_; }

    // Each parameter from its environment variable (QUARN_DB_HOST, _LOGIN,
    // _NAME, _PASSWD, _PORT, _SOCK) when set and not empty, else from the
    // product configuration (no configuration source for the socket). The
    // port text is read with wtol (leading digits, 0 for none). Raises when
    // the password is needed and cannot be read.
    static ZRTConnectionSettings connectionSettings();

private:
    IDatabaseProvider* provider_ = nullptr;
};
