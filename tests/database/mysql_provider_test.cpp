#include "database_fixture.h"

#include "config/product_config.h"
#include "diagnostics/exceptions.h"

#include <winsock2.h>
#include <mysql.h>

#include <algorithm>
#include <chrono>

using namespace dbtest;

namespace {

// Two sockets bound and closed again leave a port nobody listens on.
int32_t closedPort() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int length = sizeof(address);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    ::closesocket(s);
    return ntohs(address.sin_port);
}

unsigned connectTimeoutOf(MySQLDatabaseProvider& provider) {
    unsigned int seconds = 0;
    mysql_get_optionv(provider.handle(), MYSQL_OPT_CONNECT_TIMEOUT, &seconds);
    return seconds;
}

std::wstring scalar(IDatabaseProvider& provider, const std::wstring& sql) {
    RecordSetRef rows(provider.query(sql));
    EXPECT_TRUE(rows->next()) << "no row for " << std::string(sql.begin(), sql.end());
    return rows->getString(0, L"<null>", false);
}

// Ends the victim's connection from the killer's and waits until the
// server has let it go.
void killConnection(IDatabaseProvider& killer, IDatabaseProvider& victim) {
    const std::wstring id = scalar(victim, L"SELECT CONNECTION_ID()");
    killer.execute(L"KILL " + id);
    for (int i = 0; i < 250; ++i) {
        if (scalar(killer, L"SELECT COUNT(*) FROM information_schema.processlist WHERE id = " + id) == L"0") return;
        ::Sleep(20);
    }
    ADD_FAILURE() << "the killed connection stays";
}

// Reconnects with the parameters the test was connected with, counting calls.
class CountingReconnect : public IDatabaseReconnectHandler {
public:
    void reconnect(IDatabaseProvider* provider) override {
        ++calls;
        const auto s = server();
        provider->connect(s.host, s.database, s.login, s.password, serverPort(), L"");
    }
    int calls = 0;
};

}  // namespace

TEST(MySQLConnection, WrongPasswordIsRefusedWithTheServersText) {
    MySQLDatabaseProvider provider;
    const auto s = server();
    try {
        provider.connect(s.host, s.database, s.login, s.password + L"-wrong", serverPort(), L"");
        FAIL() << "connected with a wrong password";
    } catch (const VDatabase::ConnectException& error) {
        EXPECT_EQ(error.message(), L"Failed to connect to database: Access denied for user '" + s.login +
                                       L"'@'127.0.0.1' (using password: YES)");
        ASSERT_FALSE(error.context().empty());
        EXPECT_EQ(error.context().front().function, "MySQLDatabaseProvider::connect");
    }
    EXPECT_FALSE(provider.isConnected());
}

TEST(MySQLConnection, ClosedPortFailsAtOnceAndLeavesTheProviderDisconnected) {
    MySQLDatabaseProvider provider;
    const auto s = server();
    const auto begin = std::chrono::steady_clock::now();
    const std::wstring message = messageOf([&] { provider.connect(s.host, s.database, s.login, s.password, closedPort(), L""); });
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(message.rfind(L"Failed to connect to database: Can't connect to server on '127.0.0.1'", 0), 0u)
        << std::string(message.begin(), message.end());
    // The connect timeout is at least 60 s: failing well before it is failing at once.
    EXPECT_LT(elapsed, std::chrono::seconds(30));
    EXPECT_FALSE(provider.isConnected());
    EXPECT_FALSE(provider.ping());
}

TEST(MySQLConnection, ConnectTimeoutComesFromTheConfigurationWithAMinimumOf60) {
    ScopedHklmValue timeout(product_config::kConfigKey, L"MySQLConnectionTimeout");
    timeout.setDword(30);
    auto provider = connectProduct();
    EXPECT_EQ(connectTimeoutOf(*provider), 60u);
    timeout.setDword(75);
    provider = connectProduct();
    EXPECT_EQ(connectTimeoutOf(*provider), 75u);
    timeout.remove();
    provider = connectProduct();
    EXPECT_EQ(connectTimeoutOf(*provider), 120u);
}

TEST(MySQLConnection, ConnectedSessionIsSetUpForTheProduct) {
    auto provider = connectProduct();
    EXPECT_TRUE(provider->isConnected());
    EXPECT_TRUE(provider->ping());
    EXPECT_EQ(provider->name(), L"MySQL");
    EXPECT_EQ(provider->version().rfind(L"10.", 0), 0u);
    EXPECT_EQ(scalar(*provider, L"SELECT @@character_set_client"), L"utf8mb4");
    EXPECT_EQ(scalar(*provider, L"SELECT @@session.tx_isolation"), L"READ-UNCOMMITTED");
    // The library must not reconnect behind the provider's back.
    my_bool reconnect = 1;
    mysql_get_optionv(provider->handle(), MYSQL_OPT_RECONNECT, &reconnect);
    EXPECT_EQ(reconnect, 0);
    provider->disconnect();
    EXPECT_FALSE(provider->isConnected());
    EXPECT_EQ(provider->lastError(), L"Not connected");
}

TEST(MySQLVersions, DottedComparisonAndTheSetNamesRule) {
    EXPECT_FALSE(serverTakesSetNames(L"4.0.27"));
    EXPECT_TRUE(serverTakesSetNames(L"4.1"));
    EXPECT_TRUE(serverTakesSetNames(L"10.1.9-MariaDB"));
    EXPECT_TRUE(serverTakesSetNames(L"5.5.47-MariaDB"));
    EXPECT_EQ(compareDottedVersions(L"4.1.0", L"4.1"), 1);
    EXPECT_EQ(compareDottedVersions(L"4.1", L"4.1.0"), -1);
    EXPECT_EQ(compareDottedVersions(L"4.1", L"4.1"), 0);
    EXPECT_EQ(compareDottedVersions(L"10.0", L"9.9"), 1);
    EXPECT_EQ(compareDottedVersions(L"4.0.27", L"4.1"), -1);
    EXPECT_EQ(compareDottedVersions(L"abc", L"0"), 0);
    EXPECT_EQ(connectionCharset(L"5.5.2"), L"utf8");
    EXPECT_EQ(connectionCharset(L"5.5.3"), L"utf8mb4");
    EXPECT_EQ(connectionCharset(L"10.11.6-MariaDB"), L"utf8mb4");
}

TEST(MySQLStatements, FailedStatementNamesTheServersErrorAndNoPassword) {
    auto provider = connectProduct();
    const std::wstring marker = uniqueName(L"mark");
    const std::wstring message = messageOf([&] {
        provider->execute(L"SET PASSWORD FOR '" + marker + L"'@'%' = PASSWORD('s3cret-one')");
    });
    EXPECT_EQ(message.rfind(L"Can't execute SET PASSWORD FOR '" + marker + L"'@'%' = PASSWORD('*'): MySql error ", 0), 0u)
        << std::string(message.begin(), message.end());
    EXPECT_EQ(message.find(L"s3cret"), std::wstring::npos);
    const std::wstring log = debugLog();
    EXPECT_NE(log.find(L"MySQLDatabaseProvider Execute: SET PASSWORD FOR '" + marker + L"'@'%' = PASSWORD('*')"),
              std::wstring::npos);
    EXPECT_EQ(log.find(L"s3cret-one"), std::wstring::npos);

    const std::wstring syntax = messageOf([&] { provider->execute(L"SELEC 1"); });
    EXPECT_EQ(syntax.rfind(L"Can't execute SELEC 1: MySql error 1064:You have an error in your SQL syntax", 0), 0u);
}

TEST(MySQLStatements, QueryFailuresAndStatementsWithoutAResultSet) {
    auto provider = connectProduct();
    const std::wstring missing = messageOf([&] { provider->query(L"SELECT * FROM no_such_table_q"); });
    EXPECT_EQ(missing, L"Can't query SELECT * FROM no_such_table_q: MySQLDatabaseProvider error 1146:Table '" +
                           server().database + L".no_such_table_q' doesn't exist");
    const std::wstring noResult = messageOf([&] { provider->query(L"UPDATE sessions SET login = login WHERE 1 = 0"); });
    EXPECT_EQ(noResult, L"Can't get result for query UPDATE sessions SET login = login WHERE 1 = 0 "
                        L"MySQLDatabaseProvider error ");
}

TEST(MySQLStatements, LostConnectionFailsAtOnceWithoutHandlerAndRetriesOnceWithOne) {
    auto victim = connectProduct();
    auto killer = connectProduct();
    killConnection(*killer, *victim);
    // The first statement finds the connection dropped (2013), every later
    // one finds the server gone (2006); neither is retried without a handler.
    const std::wstring lost = messageOf([&] { victim->execute(L"DELETE FROM sessions WHERE 1 = 0"); });
    EXPECT_EQ(lost, L"Can't execute DELETE FROM sessions WHERE 1 = 0: MySql error 2013:Lost connection to server "
                    L"during query");
    const std::wstring gone = messageOf([&] { victim->execute(L"DELETE FROM sessions WHERE 1 = 0"); });
    EXPECT_EQ(gone.rfind(L"Can't execute DELETE FROM sessions WHERE 1 = 0: MySql error 2006:", 0), 0u)
        << std::string(gone.begin(), gone.end());
    EXPECT_NE(gone.find(L"has gone away"), std::wstring::npos);

    victim = connectProduct();
    CountingReconnect handler;
    victim->setReconnectHandler(&handler);
    killConnection(*killer, *victim);
    victim->execute(L"DELETE FROM sessions WHERE 1 = 0");
    EXPECT_EQ(handler.calls, 1);
    EXPECT_NE(debugLog().find(L"MySQLDatabaseProvider::execute reconnect"), std::wstring::npos);
    killConnection(*killer, *victim);
    EXPECT_EQ(scalar(*victim, L"SELECT 7"), L"7");
    EXPECT_EQ(handler.calls, 2);
}

TEST(MySQLStatements, ReplaceSendsTheInsertAsReplace) {
    auto provider = connectProduct();
    const std::wstring table = uniqueName(L"t_replace");
    provider->execute(L"CREATE TABLE " + table + L" (id INT PRIMARY KEY, v VARCHAR(10))");
    provider->execute(L"INSERT INTO " + table + L" VALUES (1, 'old')");
    provider->replace(L"unused", L"insert into " + table + L" VALUES (1, 'new')");
    EXPECT_EQ(scalar(*provider, L"SELECT v FROM " + table + L" WHERE id = 1"), L"new");
    EXPECT_NE(debugLog().find(L"MySQLDatabaseProvider Execute: REPLACE into " + table + L" VALUES (1, 'new')"),
              std::wstring::npos);
    EXPECT_EQ(messageOf([&] { provider->replace(L"", L"UPDATE " + table + L" SET v = 'x'"); }),
              L"Can't execute replace(). Invalid INSERT request: UPDATE " + table + L" SET v = 'x'");
    EXPECT_EQ(messageOf([&] { provider->replace(L"", L"INSERT"); }),
              L"Can't execute replace(). Invalid INSERT request: INSERT");
    provider->execute(L"DROP TABLE " + table);
}

TEST(MySQLStatements, NextIdIncreasesAndKeepsOneCounterRow) {
    auto provider = connectProduct();
    provider->execute(L"CREATE TABLE IF NOT EXISTS ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, "
                      L"val int(10))");
    const uint64_t first = provider->nextId(L"sessions", L"id");
    const uint64_t second = provider->nextId(L"other", L"x");
    EXPECT_GT(second, first);
    EXPECT_EQ(scalar(*provider, L"SELECT COUNT(*) FROM ms_jet_counter"), L"1");
    EXPECT_EQ(scalar(*provider, L"SELECT id FROM ms_jet_counter"), std::to_wstring(second));
}

TEST(MySQLStatements, TextSurvivesTheRoundTripInUtf8) {
    auto provider = connectProduct();
    const std::wstring table = uniqueName(L"t_text");
    provider->execute(L"CREATE TABLE " + table + L" (id INT, city VARCHAR(20)) CHARACTER SET utf8mb4");
    const std::wstring zurich = L"Z\u00fcrich", japan = L"\u65e5\u672c";
    provider->execute(L"INSERT INTO " + table + L" VALUES (1, '" + provider->escape(zurich) + L"'), (2, '" +
                      provider->escape(japan) + L"')");
    RecordSetRef rows(provider->query(L"SELECT city FROM " + table + L" ORDER BY id"));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), zurich);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), japan);
    EXPECT_EQ(scalar(*provider, L"SELECT COUNT(*) FROM " + table + L" WHERE city = '" + japan + L"'"), L"1");
    EXPECT_EQ(provider->escape(L"it's \"q\"\\"), L"it\\'s \\\"q\\\"\\\\");
    provider->execute(L"DROP TABLE " + table);
}

TEST(MySQLStatements, TransactionsCountTheirDepth) {
    auto provider = connectProduct();
    const std::wstring table = uniqueName(L"t_tx");
    provider->execute(L"CREATE TABLE " + table + L" (id INT) ENGINE=InnoDB");
    EXPECT_EQ(provider->beginTransaction(), 0);
    EXPECT_EQ(provider->transactionLevel(), 1);
    provider->execute(L"INSERT INTO " + table + L" VALUES (1)");
    EXPECT_EQ(provider->rollback(), 0);
    EXPECT_EQ(provider->transactionLevel(), 0);
    EXPECT_EQ(scalar(*provider, L"SELECT COUNT(*) FROM " + table), L"0");
    provider->beginTransaction();
    provider->execute(L"INSERT INTO " + table + L" VALUES (2)");
    EXPECT_EQ(provider->commit(), 0);
    EXPECT_EQ(scalar(*provider, L"SELECT COUNT(*) FROM " + table), L"1");
    provider->execute(L"INSERT INTO " + table + L" VALUES (3)");
    EXPECT_EQ(provider->lastInsertId(), 0u);
    IDatabaseProvider::StringList tables;
    provider->getTables(tables);
    EXPECT_NE(std::find(tables.begin(), tables.end(), table), tables.end());
    EXPECT_NE(std::find(tables.begin(), tables.end(), L"sessions"), tables.end());
    provider->execute(L"DROP TABLE " + table);
}
