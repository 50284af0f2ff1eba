#include "database_fixture.h"

#include "database/mysql_administration.h"
#include "database/statement_mask.h"

using namespace dbtest;

TEST(PasswordMasking, EveryPasswordValueIsHidden) {
    const auto mask = [](const wchar_t* sql) { return maskPasswords(sql, SqlDialect::MySql); };
    EXPECT_EQ(mask(L"SET PASSWORD = PASSWORD('abc') , x = PASSWORD('def')"),
              L"SET PASSWORD = PASSWORD('*') , x = PASSWORD('*')");
    EXPECT_EQ(mask(L"GRANT ALL ON *.* TO 'u'@'%' IDENTIFIED BY 'p\\'w''d' WITH GRANT OPTION"),
              L"GRANT ALL ON *.* TO 'u'@'%' IDENTIFIED BY '*' WITH GRANT OPTION");
    EXPECT_EQ(mask(L"create user x identified  by\n'pw'"), L"create user x identified  by\n'*'");
    EXPECT_EQ(mask(L"x IDENTIFIED BY PASSWORD '*ABCDEF'"), L"x IDENTIFIED BY PASSWORD '*'");
    EXPECT_EQ(mask(L"password ( 'a') and PASSWORD('')"), L"password ( '*') and PASSWORD('*')");
    EXPECT_EQ(mask(L"PASSWORD('never closed"), L"PASSWORD('*");
    EXPECT_EQ(mask(L"SELECT old_password, MYPASSWORD('x') FROM t"), L"SELECT old_password, MYPASSWORD('x') FROM t");
}

TEST(PasswordMasking, GrantAllAndQueriesNeverLogTheirPasswords) {
    const auto s = server();
    MySQLAdministration admin(s.host, s.adminLogin, s.adminPassword, serverPort());
    const std::wstring login = uniqueName(L"granted");
    EXPECT_FALSE(admin.userExists(login));
    admin.grantAll(login, L"grant-secret-7", L"127.0.0.1");
    EXPECT_TRUE(admin.userExists(login));
    // The new login works with its password.
    MySQLDatabaseProvider fresh;
    fresh.connect(s.host, L"", login, L"grant-secret-7", serverPort(), L"");
    fresh.disconnect();
    const std::wstring message = messageOf([&] {
        admin.provider()->query(L"SELECT PASSWORD('query-secret-8') FROM no_such_table_m");
    });
    EXPECT_EQ(message.find(L"query-secret-8"), std::wstring::npos);
    const std::wstring log = debugLog();
    EXPECT_NE(log.find(L"SQL: GRANT ALL PRIVILEGES ON *.* TO '" + login + L"'@'127.0.0.1' IDENTIFIED BY '*'"),
              std::wstring::npos);
    EXPECT_NE(log.find(L"SQL: SET SESSION old_passwords=0"), std::wstring::npos);
    EXPECT_EQ(log.find(L"grant-secret-7"), std::wstring::npos);
    EXPECT_EQ(log.find(L"query-secret-8"), std::wstring::npos);
    admin.provider()->execute(L"DROP USER '" + login + L"'@'127.0.0.1'");
    EXPECT_FALSE(admin.userExists(login));
}

TEST(MendedFaults, UserExistsAndSetPasswordEscapeTheLogin) {
    const auto s = server();
    MySQLAdministration admin(s.host, s.adminLogin, s.adminPassword, serverPort());
    EXPECT_TRUE(admin.userExists(s.login));
    EXPECT_FALSE(admin.userExists(L"nobody') OR ('1'='1"));

    auto provider = connectAdmin();
    // A crafted login names no account: nothing changes, and the
    // administrator still logs in.
    provider->setPassword(L"x' OR User<>'", L"new-pw-9", L"old");
    EXPECT_TRUE(connectAdmin()->isConnected());
    RecordSetRef rows(provider->query(L"SELECT DATABASE()"));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), L"mysql");

    // On this server mysql.user is a view: the account is altered instead.
    const std::wstring login = uniqueName(L"pw_");
    provider->execute(L"CREATE USER '" + login + L"'@'%' IDENTIFIED BY 'set-old-43'");
    provider->setPassword(login, L"set-new-44", L"set-old-43");
    MySQLDatabaseProvider changed;
    EXPECT_NO_THROW(changed.connect(s.host, L"", login, L"set-new-44", serverPort(), L""));
    EXPECT_THROW(changed.connect(s.host, L"", login, L"set-old-43", serverPort(), L""), vexception);
    provider->execute(L"DROP USER '" + login + L"'@'%'");
    const std::wstring log = debugLog();
    EXPECT_EQ(log.find(L"set-new-44"), std::wstring::npos);
}

TEST(MendedFaults, UseDoublesABacktickInTheName) {
    auto admin = connectAdmin();
    const std::wstring name = uniqueName(L"q`tick");
    const std::wstring quoted = L"`" + std::wstring(L"q``tick") + name.substr(6) + L"`";
    admin->execute(L"CREATE DATABASE " + quoted);
    admin->use(name);
    RecordSetRef rows(admin->query(L"SELECT DATABASE()"));
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), name);
    // A name that tries to end the identifier stays one name.
    EXPECT_NE(messageOf([&] { admin->use(L"mysql`; DROP DATABASE `" + name); }).find(L"MySql error 1049:"),
              std::wstring::npos);
    admin->execute(L"DROP DATABASE " + quoted);
}

TEST(MendedFaults, TableExistsMatchesTheExactNameOnly) {
    auto provider = connectProduct();
    const std::wstring stem = uniqueName(L"msXjet");
    const std::wstring table = stem + L"Xcounter";
    provider->execute(L"CREATE TABLE " + table + L" (id INT)");
    EXPECT_TRUE(provider->tableExists(table));
    EXPECT_FALSE(provider->tableExists(L"ms_jet" + stem.substr(6) + L"_counter"));
    EXPECT_FALSE(provider->tableExists(stem + L"%"));
    EXPECT_FALSE(provider->tableExists(L"%"));
    EXPECT_TRUE(provider->tableExists(L"sessions"));
    provider->execute(L"DROP TABLE " + table);
}
