// The MySQL provider's session: what a connect leaves behind when it fails
// after the server accepted it, connection parameters beyond ASCII, and
// reading without a row or a connection.
#include "database_fixture.h"

#include "diagnostics/text.h"

using namespace dbtest;

namespace {

// Connects as the product login; the session statement named fails.
class FailingSetup : public MySQLDatabaseProvider {
public:
    explicit FailingSetup(std::wstring failing) : failing_(std::move(failing)) {}
    void execute(const std::wstring& sql) override {
        if (sql.rfind(failing_, 0) == 0) throw vexception(L"refused: " + sql);
        MySQLDatabaseProvider::execute(sql);
    }

private:
    std::wstring failing_;
};

}  // namespace

TEST(MySQLSession, ASessionThatCannotBeSetUpLeavesTheProviderDisconnected) {
    const auto s = server();
    for (const wchar_t* failing : {L"SET SESSION", L"SET NAMES"}) {
        FailingSetup provider(failing);
        EXPECT_EQ(messageOf([&] { provider.connect(s.host, s.database, s.login, s.password, serverPort(), L""); })
                      .rfind(L"refused: ", 0),
                  0u);
        EXPECT_FALSE(provider.isConnected()) << cstr(failing);
        EXPECT_EQ(provider.handle(), nullptr);
        EXPECT_FALSE(provider.ping());
    }
}

TEST(MySQLSession, LoginAndPasswordBeyondAsciiLogIn) {
    const auto s = server();
    auto admin = connectAdmin();
    const std::wstring login = uniqueName(L"zoë_");
    const std::wstring password = L"pässwörd-Ω日本";
    admin->execute(L"CREATE USER '" + admin->escape(login) + L"'@'%' IDENTIFIED BY '" + admin->escape(password) + L"'");
    MySQLDatabaseProvider provider;
    try {
        provider.connect(s.host, L"", login, password, serverPort(), L"");
    } catch (const vexception& error) {
        ADD_FAILURE() << cstr(error.fullText(), CP_UTF8);
    }
    if (provider.isConnected()) {
        RecordSetRef rows(provider.query(L"SELECT CURRENT_USER()"));
        ASSERT_TRUE(rows->next());
        EXPECT_EQ(rows->getString(0, L"", false), login + L"@%");
    }
    provider.disconnect();
    admin->execute(L"DROP USER '" + admin->escape(login) + L"'@'%'");
}

TEST(MySQLSession, ReadingWithoutARowOrAConnectionRaises) {
    auto provider = connectProduct();
    RecordSetRef rows(provider->query(L"SELECT 1 AS n"));
    std::wstring text = L"untouched";
    // Before the first row and after the last.
    EXPECT_NE(messageOf([&] { rows->isNull(0, false); }).find(L"No current row"), std::wstring::npos);
    ASSERT_TRUE(rows->next());
    EXPECT_NE(messageOf([&] { rows->getValue(1, text, false); }).find(L"No column 1"), std::wstring::npos);
    EXPECT_FALSE(rows->next());
    EXPECT_NE(messageOf([&] { rows->isNull(0, false); }).find(L"No current row"), std::wstring::npos);
    EXPECT_NE(messageOf([&] { rows->isEmpty(0, true); }).find(L"No current row"), std::wstring::npos);
    EXPECT_NE(messageOf([&] { rows->getValue(0, text, false); }).find(L"No current row"), std::wstring::npos);
    EXPECT_EQ(text, L"untouched");

    MySQLDatabaseProvider unconnected;
    EXPECT_EQ(messageOf([&] { unconnected.lastInsertId(); }), L"Not connected");
}

TEST(MySQLSession, EscapeWorksInAProcessThatNeverConnected) {
    // ctest runs each test in a process of its own: nothing has set up the
    // client library here.
    MySQLDatabaseProvider unconnected;
    EXPECT_EQ(unconnected.escape(std::wstring(L"it's \"q\" \\ \n\r\x1A\0 é", 17)),
              std::wstring(L"it\\'s \\\"q\\\" \\\\ \\n\\r\\Z\\0 é", 25));
}
