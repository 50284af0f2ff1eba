// The tray's session deletion through ZRTDatabase (construct, connect,
// "DELETE FROM sessions", destroy) against the raw client-library calls of
// the same work, on the sandbox MariaDB server. Needs the server's settings
// in the registry (scripts/test and scripts/demo lay them out).
#include "bench_timing.h"
#include "config/product_config.h"
#include "config/registry.h"
#include "database/zrt_database.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "sandbox_database.h"

#include <winsock2.h>
#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

int main() {
    constexpr int kCalls = 100;
    try {
        const sandboxkit::DatabaseSettings s = sandboxkit::databaseSettings();
        _wputenv_s(L"QUARN_DB_HOST", s.host.c_str());
        _wputenv_s(L"QUARN_DB_PORT", s.port.c_str());
        _wputenv_s(L"QUARN_DB_LOGIN", s.login.c_str());
        _wputenv_s(L"QUARN_DB_NAME", s.database.c_str());
        _wputenv_s(L"QUARN_DB_PASSWD", s.password.c_str());
        const std::string host = cstr(s.host), login = cstr(s.login), password = cstr(s.password);
        const std::string database = cstr(s.database);
        const unsigned port = static_cast<unsigned>(_wtol(s.port.c_str()));
        // The same session set-up as the provider's connect, made by hand.
        const char* setup[] = {"SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED", "select version()",
                               "SET NAMES 'utf8'", "DELETE FROM sessions"};
        auto raw = [&] {
            MYSQL* connection = mysql_init(nullptr);
            const unsigned int timeout = 120;
            mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
            if (!mysql_real_connect(connection, host.c_str(), login.c_str(), password.c_str(), database.c_str(), port,
                                    nullptr, 0))
                throw std::runtime_error(mysql_error(connection));
            for (const char* sql : setup) {
                if (mysql_real_query(connection, sql, static_cast<unsigned long>(strlen(sql))) != 0)
                    throw std::runtime_error(mysql_error(connection));
                if (MYSQL_RES* result = mysql_store_result(connection)) mysql_free_result(result);
            }
            mysql_close(connection);
        };
        auto product = [] {
            ZRTDatabase database(true);
            database.execute(L"DELETE FROM sessions");
        };
        raw();
        product();
        const double rawTime = microsecondsPerCall(kCalls, raw);
        const double productTime = microsecondsPerCall(kCalls, product);
        // Without the debug file: the product's own cost beside the statement log.
        DWORD debug = 0;
        registry::lookup(HKEY_LOCAL_MACHINE, product_config::kConfigKey, L"Debug", debug, registry::View32);
        registry config(HKEY_LOCAL_MACHINE, product_config::kConfigKey, KEY_SET_VALUE | KEY_WOW64_32KEY, true);
        config.set(L"Debug", DWORD(0));
        for (int i = 0; i < 20; ++i) LogManager::debugEnabled();
        const double quietTime = microsecondsPerCall(kCalls, product);
        config.set(L"Debug", debug);
        std::printf("connect + DELETE FROM sessions, raw client library: %.0f us\n", rawTime);
        printResult("Delete Sessions (ZRTDatabase) / raw client library", quietTime, rawTime, "us");
        std::printf("the same with the debug log as it was (\"Debug\" = %lu): %.0f us\n", debug, productTime);
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
