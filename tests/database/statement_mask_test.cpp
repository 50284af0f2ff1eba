// Passwords hidden by each database's own quoting, in the statements the
// providers log and in the servers' messages they pass on.
#include "database_fixture.h"
#include "product_settings.h"

#include "database/mssql_database_provider.h"
#include "database/statement_mask.h"
#include "diagnostics/log_manager.h"

using namespace dbtest;

TEST(PasswordMasking, EveryFormIsHiddenByTheQuotingOfItsDialect) {
    const struct {
        SqlDialect dialect;
        const wchar_t* sql;
        const wchar_t* masked;
    } cases[] = {
        // A backslash escapes only in MySQL: an old password ending in one
        // must not carry the mask past the new password.
        {SqlDialect::TransactSql, L"SP_PASSWORD N'old\\', N'new'", L"SP_PASSWORD N'*', N'*'"},
        {SqlDialect::Jet, L"x PASSWORD = 'a\\' AND b = 'visible'", L"x PASSWORD = '*' AND b = 'visible'"},
        {SqlDialect::MySql, L"IDENTIFIED BY 'a\\'b' AND 'visible'", L"IDENTIFIED BY '*' AND 'visible'"},
        {SqlDialect::TransactSql, L"SP_PASSWORD N'o''l\"d', N'n'", L"SP_PASSWORD N'*', N'*'"},
        // Double-quoted values, with their own doubling and escapes.
        {SqlDialect::MySql, L"IDENTIFIED BY \"dq\" x", L"IDENTIFIED BY \"*\" x"},
        {SqlDialect::MySql, L"PASSWORD(\"a\"\"b\\\"c\") x", L"PASSWORD(\"*\") x"},
        {SqlDialect::Jet, L"PASSWORD = \"a\\\" x", L"PASSWORD = \"*\" x"},
        // OLD_PASSWORD(...), and SQL Server's national strings in a function.
        {SqlDialect::MySql, L"SELECT OLD_PASSWORD('o'), old_password ('p')",
         L"SELECT OLD_PASSWORD('*'), old_password ('*')"},
        {SqlDialect::TransactSql, L"SELECT PASSWORD(N'x'), OLD_PASSWORD( n'y')",
         L"SELECT PASSWORD(N'*'), OLD_PASSWORD( n'*')"},
        // A named authentication plugin, bare or quoted, and its value.
        {SqlDialect::MySql, L"IDENTIFIED WITH mysql_native_password BY 'p' x",
         L"IDENTIFIED WITH mysql_native_password BY '*' x"},
        {SqlDialect::MySql, L"identified with 'mysql_native_password' as '*ABC'",
         L"identified with 'mysql_native_password' as '*'"},
        {SqlDialect::MySql, L"IDENTIFIED VIA ed25519 USING 'h' OR unix_socket",
         L"IDENTIFIED VIA ed25519 USING '*' OR unix_socket"},
        {SqlDialect::MySql, L"IDENTIFIED VIA ed25519 USING PASSWORD('p')",
         L"IDENTIFIED VIA ed25519 USING PASSWORD('*')"},
        {SqlDialect::MySql, L"IDENTIFIED WITH `a``b` AS 'h'", L"IDENTIFIED WITH `a``b` AS '*'"},
        // Comments between the keywords, in each of MySQL's forms.
        {SqlDialect::MySql, L"IDENTIFIED/**/BY 'mask-comment-31' x", L"IDENTIFIED/**/BY '*' x"},
        {SqlDialect::MySql, L"IDENTIFIED -- c\nBY 'mask-comment-32'", L"IDENTIFIED -- c\nBY '*'"},
        {SqlDialect::MySql, L"IDENTIFIED # c\n BY\t'mask-comment-33'", L"IDENTIFIED # c\n BY\t'*'"},
        {SqlDialect::MySql, L"/*!50700 IDENTIFIED BY 'mask-comment-34' */", L"/*!50700 IDENTIFIED BY '*' */"},
        // Character set introducers and hexadecimal literals.
        {SqlDialect::MySql, L"SELECT PASSWORD(_utf8mb4'mask-charset-35')", L"SELECT PASSWORD(_utf8mb4'*')"},
        {SqlDialect::MySql, L"SELECT PASSWORD(X'6D61736B2D6865782D3336')", L"SELECT PASSWORD(X'*')"},
        // SET PASSWORD FOR an account, and ALTER USER ... REPLACE.
        {SqlDialect::MySql, L"SET PASSWORD FOR u@h = 'mask-for-37'", L"SET PASSWORD FOR u@h = '*'"},
        {SqlDialect::MySql, L"SET PASSWORD FOR 'u'@'%' = 'mask-for-38'", L"SET PASSWORD FOR 'u'@'%' = '*'"},
        {SqlDialect::MySql, L"ALTER USER u IDENTIFIED BY 'mask-new-39' REPLACE 'mask-replace-40'",
         L"ALTER USER u IDENTIFIED BY '*' REPLACE '*'"},
        // sp_password with its parameters named.
        {SqlDialect::TransactSql, L"EXEC sp_password @old = NULL, @new = N'mask-named-41', @loginame = 'sa'",
         L"EXEC sp_password @old = NULL, @new = N'*', @loginame = 'sa'"},
        // A comment sign inside a literal is text.
        {SqlDialect::MySql, L"SELECT '-- #' , PASSWORD('p')", L"SELECT '-- #' , PASSWORD('*')"},
        // Not a password: names and other functions stay.
        {SqlDialect::MySql, L"SELECT password, MYPASSWORD('x'), IDENTIFIED_BY('y')",
         L"SELECT password, MYPASSWORD('x'), IDENTIFIED_BY('y')"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(maskPasswords(c.sql, c.dialect), c.masked) << std::string(c.sql, c.sql + wcslen(c.sql));
}

TEST(PasswordMasking, AServerMessageLosesTheStatementsPasswords) {
    const std::wstring sql = L"CREATE USER u IDENTIFIED WITH p BY 'it''s' AND PASSWORD('two')";
    EXPECT_EQ(maskServerMessage(L"near 'BY 'it''s' AND PASSWORD('two')' at line 1", sql, SqlDialect::MySql),
              L"near 'BY '*' AND PASSWORD('*')' at line 1");
    // The server does not double the quotes of what it repeats: the value
    // seems to go on to the end, and is hidden up to there.
    EXPECT_EQ(maskServerMessage(L"near 'IDENTIFIED BY 'other'' at line 1", L"x", SqlDialect::MySql),
              L"near 'IDENTIFIED BY '*");
    // The server repeats at most 80 characters: a long password is cut.
    const std::wstring cut = L"SET PASSWORD = PASSWORD('mask-long-42-and-more-than-the-server-repeats')";
    EXPECT_EQ(maskServerMessage(L"You have an error near '= PASSWORD('mask-long-42' at line 1", cut, SqlDialect::MySql),
              L"You have an error near '= PASSWORD('*' at line 1");
}

// The statements go to the product log, and each error is logged the way
// the program's boundaries log one; neither may hold a password.
TEST(PasswordMasking, TheMySqlProviderLogsAndRaisesNoPassword) {
    auto provider = connectProduct();
    const std::wstring user = L"'" + uniqueName(L"nobody") + L"'@'%'";
    const struct {
        std::wstring sql;
        const wchar_t* logged;
        const wchar_t* secret;
    } cases[] = {
        // MariaDB has no BY after a plugin: its syntax error repeats the
        // statement from there, without the keyword the mask looks for.
        {L"ALTER USER " + user + L" IDENTIFIED WITH mysql_native_password BY 'mask-by-plugin-21'",
         L"IDENTIFIED WITH mysql_native_password BY '*'", L"mask-by-plugin-21"},
        {L"ALTER USER " + user + L" IDENTIFIED VIA mysql_native_password USING 'mask-using-22'",
         L"IDENTIFIED VIA mysql_native_password USING '*'", L"mask-using-22"},
        {L"SET PASSWORD FOR " + user + L" = PASSWORD(\"mask-quoted-23\")", L"= PASSWORD(\"*\")", L"mask-quoted-23"},
        {L"SELECT OLD_PASSWORD('mask-old-24') FROM no_such_table_p", L"SELECT OLD_PASSWORD('*')", L"mask-old-24"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.secret, c.secret + wcslen(c.secret)));
        std::wstring text;
        try {
            provider->execute(c.sql);
            ADD_FAILURE() << "the statement ran";
        } catch (const vexception& error) {
            LogManager::logError(LogError, error);
            text = error.fullText();
        }
        EXPECT_NE(text.find(L"MySql error "), std::wstring::npos);
        EXPECT_NE(text.find(c.logged), std::wstring::npos) << std::string(text.begin(), text.end());
        EXPECT_EQ(text.find(c.secret), std::wstring::npos) << std::string(text.begin(), text.end());
        const std::wstring log = debugLog();
        EXPECT_NE(log.find(L"MySQLDatabaseProvider Execute: " + c.sql.substr(0, 12)), std::wstring::npos);
        EXPECT_EQ(log.find(c.secret), std::wstring::npos);
    }
}

// Not connected, the ADO providers still log the statement first.
TEST(PasswordMasking, TheAdoProvidersLogNoPassword) {
    MSSQLDatabaseProvider provider;
    EXPECT_EQ(messageOf([&] { provider.setPassword(L"sa", L"mask-tsql-new-25", L"mask-tsql-old\\"); }),
              L"Not connected");
    EXPECT_EQ(messageOf([&] { provider.query(L"SELECT PASSWORD('mask-recordset-26')"); }), L"Not connected");
    const std::wstring log = testing_support::debugLogText();
    EXPECT_NE(log.find(L"ADO query: SP_PASSWORD N'*', N'*'"), std::wstring::npos);
    EXPECT_NE(log.find(L"ADO open recordset: SELECT PASSWORD(N'*')"), std::wstring::npos);
    for (const wchar_t* secret : {L"mask-tsql-new-25", L"mask-tsql-old", L"mask-recordset-26"})
        EXPECT_EQ(log.find(secret), std::wstring::npos);
}
