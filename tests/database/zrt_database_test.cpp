#include "database_fixture.h"

#include "config/product_configuration.h"
#include "database/zrt_database.h"
#include "sandbox_kit.h"

using namespace dbtest;

namespace {

constexpr const wchar_t* kInstallerKey = L"SOFTWARE\\QUARN\\Installer\\QuarnCP";

// The management service stopped for a scope, started again afterwards.
class StoppedManagementService {
public:
    StoppedManagementService() {
        sandboxkit::controlService(L"quarnsrv", SERVICE_CONTROL_STOP);
        sandboxkit::waitForState(L"quarnsrv", SERVICE_STOPPED, 10000);
    }
    ~StoppedManagementService() { sandboxkit::startAndWait(L"quarnsrv", 10000); }
};

}  // namespace

TEST(DatabaseFactory, NamesAreComparedExactly) {
    for (const auto& [name, built] : {std::pair{L"MySQL", L"MySQL"}, {L"", L"MySQL"}, {L"MSSQL", L"MSSQL"},
                                      {L"Jet", L"Jet"}}) {
        std::unique_ptr<IDatabaseProvider> provider(CreateDatabaseProvider(name));
        EXPECT_EQ(provider->name(), built);
        EXPECT_FALSE(provider->isConnected());
    }
    for (const wchar_t* name : {L"mysql", L"mssql", L"JET", L"Oracle", L"MySQL "}) {
        try {
            delete CreateDatabaseProvider(name);
            ADD_FAILURE() << "a provider for an unknown name";
        } catch (const vexception& error) {
            EXPECT_EQ(error.message(), std::wstring(L"Unable to build database provider ") + name);
            ASSERT_EQ(error.context().size(), 1u);
            EXPECT_EQ(error.context()[0].function, "CreateDatabaseProvider");
            EXPECT_EQ(error.context()[0].line, 102);
        }
    }
    EXPECT_EQ(messageOf([] { ZRTDatabase database(L"mysql", false); }), L"Unable to build database provider mysql");
}

TEST(ZRTDatabase, ConnectsThroughTheEnvironmentAndDeletesSessions) {
    ServerEnvironment environment;
    auto setup = connectProduct();
    const std::wstring table = uniqueName(L"t_sessions");
    setup->execute(L"CREATE TABLE " + table + L" LIKE sessions");
    setup->execute(L"INSERT INTO " + table + L" SELECT * FROM sessions");
    {
        ZRTDatabase database(true);
        ASSERT_TRUE(database.provider()->isConnected());
        database.connect();  // connected already: nothing happens
        database.execute(L"DELETE FROM " + table);
    }
    RecordSetRef rows(setup->query(L"SELECT COUNT(*) FROM " + table));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), L"0");
    EXPECT_NE(debugLog().find(L"SQL: DELETE FROM " + table), std::wstring::npos);
    setup->execute(L"DROP TABLE " + table);
}

TEST(ZRTDatabase, WithoutInstallDirNothingElseIsRead) {
    ScopedHklmValue installDir(kInstallerKey, L"INSTALLDIR");
    installDir.remove();
    // No password anywhere: reading it would fail with another message.
    ServerEnvironment cleared(false);
    ZRTDatabase database(false);
    try {
        database.connect();
        FAIL() << "connected without INSTALLDIR";
    } catch (const vexception& error) {
        EXPECT_EQ(error.message(), L"Unable to connect to Quarn database on service node");
        ASSERT_EQ(error.context().size(), 1u);
        EXPECT_EQ(error.context()[0].function, "ZRTDatabase::connect");
        EXPECT_EQ(error.context()[0].line, 65);
    }
    EXPECT_FALSE(database.provider()->isConnected());
    EXPECT_EQ(messageOf([] { ZRTDatabase now(true); }), L"Unable to connect to Quarn database on service node");
}

TEST(ZRTDatabase, EnvironmentWinsWhenSetAndNotEmpty) {
    ServerEnvironment environment;
    {
        ScopedEnv host(L"QUARN_DB_HOST", L"");
        ScopedEnv port(L"QUARN_DB_PORT", L"abc");
        const ZRTConnectionSettings settings = ZRTDatabase::connectionSettings();
        EXPECT_EQ(settings.host, getDbHost());
        EXPECT_EQ(settings.port, 0);
        EXPECT_EQ(settings.login, server().login);
        EXPECT_EQ(settings.socket, L"");
    }
    {
        ScopedEnv host(L"QUARN_DB_HOST", L"127.0.0.2");
        ScopedEnv port(L"QUARN_DB_PORT", L"12ab");
        ScopedEnv socket(L"QUARN_DB_SOCK", L"pipe-name");
        const ZRTConnectionSettings settings = ZRTDatabase::connectionSettings();
        EXPECT_EQ(settings.host, L"127.0.0.2");
        EXPECT_EQ(settings.port, 12);
        EXPECT_EQ(settings.socket, L"pipe-name");
    }
    // The host really is the one connected to (nothing listens on 127.0.0.2).
    ScopedEnv host(L"QUARN_DB_HOST", L"127.0.0.2");
    const std::wstring message = messageOf([] { ZRTDatabase database(true); });
    EXPECT_NE(message.find(L"'127.0.0.2'"), std::wstring::npos) << std::string(message.begin(), message.end());
}

TEST(ZRTDatabase, StoppedManagementServiceGivesTheDefaultsButNoPassword) {
    ServerEnvironment cleared(false);
    StoppedManagementService stopped;
    EXPECT_EQ(getDbHost(), L"localhost");
    EXPECT_EQ(getDbLogin(), L"admin");
    EXPECT_EQ(getDbName(), L"zrt");
    EXPECT_EQ(getDbPort(), L"8306");
    EXPECT_EQ(getDbProviderName(), L"MySQL");
    EXPECT_THROW(ZRTDatabase::connectionSettings(), vexception);
    EXPECT_THROW(ZRTDatabase database(true), vexception);
    ScopedEnv password(L"QUARN_DB_PASSWD", L"from-the-environment");
    const ZRTConnectionSettings settings = ZRTDatabase::connectionSettings();
    EXPECT_EQ(settings.password, L"from-the-environment");
    EXPECT_EQ(settings.host, L"localhost");
    EXPECT_EQ(settings.port, 8306);
    EXPECT_EQ(settings.database, L"zrt");
}

// With no environment, the management service's answers reach the server.
TEST(ZRTDatabase, ManagementServiceAnswersTheSandboxServer) {
    const auto s = server();
    EXPECT_EQ(getDbHost(), s.host);
    EXPECT_EQ(getDbPort(), s.port);
    EXPECT_EQ(getDbLogin(), s.login);
    EXPECT_EQ(getDbName(), s.database);
    EXPECT_EQ(getDbPassword(), s.password);
    ServerEnvironment cleared(false);
    ZRTDatabase database(true);
    EXPECT_TRUE(database.provider()->isConnected());
}
