#include "database_fixture.h"

#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "test_support.h"

#include <regex>

using namespace dbtest;
using testing_support::ScratchDir;

namespace {

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out, err;
};

// Runs quarndb.exe with `arguments`, `input` on its standard input and its
// standard output and error captured in files.
Outcome runQuarnDb(const ScratchDir& dir, const std::wstring& arguments, const std::string& input = {}) {
    Outcome outcome;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    static int runs = 0;
    const std::wstring run = std::to_wstring(++runs);
    const std::wstring outPath = dir.path() + L"\\out" + run + L".txt", errPath = dir.path() + L"\\err" + run + L".txt";
    UniqueFileHandle out(::CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                       nullptr));
    UniqueFileHandle err(::CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0,
                                       nullptr));
    UniqueHandle readEnd, writeEnd;
    if (!out || !err || !::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) {
        ADD_FAILURE() << "no redirection: " << ::GetLastError();
        return outcome;
    }
    ::SetHandleInformation(writeEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd.get();
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    std::wstring commandLine = L"\"" + testing_support::binDir() + L"\\quarndb.exe\" " + arguments;
    PROCESS_INFORMATION process{};
    // Relative file names are the working directory's: the scratch folder.
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.path().c_str(),
                          &startup, &process)) {
        ADD_FAILURE() << "CreateProcess failed: " << ::GetLastError();
        return outcome;
    }
    UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
    readEnd.reset();
    DWORD written = 0;
    if (!input.empty()) ::WriteFile(writeEnd.get(), input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
    writeEnd.reset();
    if (::WaitForSingleObject(processHandle.get(), 120000) != WAIT_OBJECT_0) {
        ::TerminateProcess(processHandle.get(), 99);
        ADD_FAILURE() << "quarndb did not end";
    }
    ::GetExitCodeProcess(processHandle.get(), &outcome.exitCode);
    out.reset();
    err.reset();
    outcome.out = testing_support::readFileBytes(outPath);
    outcome.err = testing_support::readFileBytes(errPath);
    return outcome;
}

std::wstring sessionRows(const std::wstring& database) {
    auto provider = connectAdmin();
    provider->use(database);
    std::wstring rows;
    RecordSetRef records(provider->query(L"SELECT id, login, started FROM sessions ORDER BY id"));
    while (records->next())
        for (int i = 0; i < 3; ++i) rows += records->getString(i, L"<NULL>", false) + L"|";
    return rows;
}

// quarndb's standard output with the totals' time replaced by "T".
std::string withoutTime(const std::string& out) {
    return std::regex_replace(out, std::regex(", [0-9]+\\.[0-9] s\r\n$"), ", T\r\n");
}

constexpr const char* kSessionsSchema = R"xml(<schema><table name="sessions">
 <column name="id" type="int(11)" null="NO" default="" extra="auto_increment"/>
 <column name="login" type="varchar(64)" null="NO" default="" extra=""/>
 <column name="started" type="datetime" null="NO" default="CURRENT_TIMESTAMP" extra=""/>
 <index key_name="PRIMARY" column_name="id" non_unique="0" Collation="A"/>
</table></schema>)xml";

}  // namespace

// Export through the management service's settings; then export, schema
// and data between databases of their own named by the environment.
TEST(QuarnDb, ExportThenImportSchemaAndDataIntoAnotherDatabase) {
    const auto s = server();
    ScratchDir dir;
    auto admin = connectAdmin();
    RecordSetRef count(admin->query(L"SELECT COUNT(*) FROM `" + s.database + L"`.sessions"));
    ASSERT_TRUE(count->next());
    const std::string sessions = cstr(count->getString(0, L"", false));
    const Outcome product = [&] {
        ServerEnvironment cleared(false);
        return runQuarnDb(dir, L"export product.xml");
    }();
    EXPECT_EQ(product.exitCode, 0u) << product.err;
    EXPECT_NE(product.out.find("sessions: " + sessions + " row"), std::string::npos) << product.out;
    EXPECT_NE(testing_support::readFileBytes(dir.path() + L"\\product.xml")
                  .find("<table name=\"sessions\" time_zone=\"+00:00\">"),
              std::string::npos);

    // The source: a copy of the product's sessions with a row of every kind.
    const std::wstring source = uniqueName(L"quarndb_src_"), copy = uniqueName(L"quarndb_");
    admin->execute(L"CREATE DATABASE `" + source + L"`");
    admin->execute(L"CREATE TABLE `" + source + L"`.sessions LIKE `" + s.database + L"`.sessions");
    admin->execute(L"INSERT INTO `" + source + L"`.sessions SELECT * FROM `" + s.database + L"`.sessions");
    admin->execute(L"INSERT INTO `" + source + L"`.sessions (id, login) VALUES (900, 'Zoë <&> \\'q\\' \\n')");
    testing_support::writeFileBytes(dir.path() + L"\\schema.xml", kSessionsSchema);
    ServerEnvironment environment;
    ScopedEnv login(L"QUARN_DB_LOGIN", s.adminLogin), password(L"QUARN_DB_PASSWD", s.adminPassword);
    {
        ScopedEnv name(L"QUARN_DB_NAME", source);
        const Outcome exported = runQuarnDb(dir, L"export source.xml");
        EXPECT_EQ(exported.exitCode, 0u) << exported.err;
    }
    ScopedEnv name(L"QUARN_DB_NAME", copy);
    const Outcome schema = runQuarnDb(dir, L"import-schema schema.xml --create-database");
    EXPECT_EQ(schema.exitCode, 0u) << schema.err;
    EXPECT_EQ(withoutTime(schema.out), "sessions: created\r\nTotal: 1 table, 0 rows, 0 failed rows, T\r\n");
    const Outcome data = runQuarnDb(dir, L"import-data source.xml");
    EXPECT_EQ(data.exitCode, 0u) << data.err;
    const std::string rows = std::to_string(std::stoi(sessions) + 1) + " rows";
    EXPECT_EQ(withoutTime(data.out), "sessions: " + rows + "\r\nTotal: 1 table, " + rows + ", 0 failed rows, T\r\n");
    EXPECT_EQ(sessionRows(copy), sessionRows(source));
    admin->execute(L"DROP DATABASE IF EXISTS `" + copy + L"`");
    admin->execute(L"DROP DATABASE IF EXISTS `" + source + L"`");
}

TEST(QuarnDb, FailuresEndWithOneAndTheErrorText) {
    const auto s = server();
    ScratchDir dir;
    testing_support::writeFileBytes(dir.path() + L"\\schema.xml", kSessionsSchema);
    ServerEnvironment environment;
    ScopedEnv login(L"QUARN_DB_LOGIN", s.adminLogin);
    // The administrator's password comes from standard input: the admin
    // connection works, and the existing login is refused.
    const Outcome exists = runQuarnDb(dir, L"import-schema schema.xml --admin " + s.adminLogin,
                                      cstr(s.adminPassword) + "\r\n");
    EXPECT_EQ(exists.exitCode, 1u);
    EXPECT_NE(exists.err.find("User " + cstr(s.adminLogin) + " already exists\r\n   at "), std::string::npos)
        << exists.err;
    const Outcome wrongPassword = runQuarnDb(dir, L"import-schema schema.xml --admin " + s.adminLogin, "wrong\n");
    EXPECT_EQ(wrongPassword.exitCode, 1u);
    EXPECT_NE(wrongPassword.err.find("Failed to connect to database: "), std::string::npos) << wrongPassword.err;
    const Outcome missing = runQuarnDb(dir, L"import-data no-such-file.xml");
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_NE(missing.err.find("\r\n   at (quarndb line 0)"), std::string::npos) << missing.err;
    const Outcome usage = runQuarnDb(dir, L"import-data");
    EXPECT_EQ(usage.exitCode, 1u);
    EXPECT_EQ(usage.err.rfind("usage: quarndb export FILE", 0), 0u) << usage.err;
}

// On standard output and error that are no console: one line per table and
// the totals, nothing on standard error. A failing row is counted, and the
// product log's error text for it ends before the table's line. With
// --quiet nothing is printed and the work is done all the same.
TEST(QuarnDb, ProgressIsOneLinePerTableAndQuietPrintsNothing) {
    const auto s = server();
    ScratchDir dir;
    auto admin = connectAdmin();
    const std::wstring source = uniqueName(L"quarndb_p_"), copy = uniqueName(L"quarndb_pc_");
    for (const std::wstring& database : {source, copy}) {
        admin->execute(L"CREATE DATABASE `" + database + L"`");
        admin->execute(L"CREATE TABLE `" + database + L"`.a (id int PRIMARY KEY, v varchar(10))");
        admin->execute(L"CREATE TABLE `" + database + L"`.b (id int PRIMARY KEY)");
        admin->execute(L"CREATE TABLE `" + database +
                       L"`.ms_jet_counter (id int unsigned auto_increment PRIMARY KEY, val int)");
    }
    admin->execute(L"INSERT INTO `" + source + L"`.a VALUES (1, 'x'), (2, NULL), (3, 'z')");
    ServerEnvironment environment;
    ScopedEnv login(L"QUARN_DB_LOGIN", s.adminLogin), password(L"QUARN_DB_PASSWD", s.adminPassword);
    const std::string lines = "a: 3 rows\r\nb: 0 rows\r\nTotal: 2 tables, 3 rows, 0 failed rows, T\r\n";
    {
        ScopedEnv name(L"QUARN_DB_NAME", source);
        const Outcome exported = runQuarnDb(dir, L"export source.xml");
        EXPECT_EQ(exported.exitCode, 0u) << exported.err;
        EXPECT_EQ(withoutTime(exported.out), lines);
        EXPECT_EQ(exported.err, "");
        const Outcome quiet = runQuarnDb(dir, L"export --quiet quiet.xml");
        EXPECT_EQ(quiet.exitCode, 0u) << quiet.err;
        EXPECT_EQ(quiet.out + quiet.err, "");
        EXPECT_NE(testing_support::readFileBytes(dir.path() + L"\\quiet.xml").find("<table name=\"b\""),
                  std::string::npos);
    }
    ScopedEnv name(L"QUARN_DB_NAME", copy);
    const Outcome imported = runQuarnDb(dir, L"import-data source.xml");
    EXPECT_EQ(imported.exitCode, 0u) << imported.err;
    EXPECT_EQ(withoutTime(imported.out), lines);
    EXPECT_EQ(imported.err, "");

    admin->execute(L"DELETE FROM `" + copy + L"`.a");
    const Outcome quiet = runQuarnDb(dir, L"import-data source.xml --quiet");
    EXPECT_EQ(quiet.exitCode, 0u) << quiet.err;
    EXPECT_EQ(quiet.out + quiet.err, "");
    RecordSetRef count(admin->query(L"SELECT COUNT(*) FROM `" + copy + L"`.a"));
    ASSERT_TRUE(count->next());
    EXPECT_EQ(count->getString(0, L"", false), L"3");

    // Row 2 twice: the second is refused.
    testing_support::writeFileBytes(dir.path() + L"\\twice.xml",
                                    "<data><table name='a'><row><field name='id'>2</field></row>"
                                    "<row><field name='id'>2</field></row></table></data>");
    const Outcome failing = runQuarnDb(dir, L"import-data twice.xml");
    EXPECT_NE(failing.out.find("Unable to import row 2 of table 'a': MySQL error 1062: Duplicate entry '...' for "
                               "key 'PRIMARY'"),
              std::string::npos)
        << failing.out;
    EXPECT_EQ(failing.out.find("INSERT INTO"), std::string::npos) << failing.out;
    EXPECT_NE(withoutTime(failing.out).find("\r\na: 1 row\r\nTotal: 1 table, 1 row, 1 failed row, T\r\n"),
              std::string::npos)
        << failing.out;
    admin->execute(L"DROP DATABASE IF EXISTS `" + copy + L"`");
    admin->execute(L"DROP DATABASE IF EXISTS `" + source + L"`");
}

TEST(QuarnDb, AnImportWithFailedRowsEndsWithOneAndCountsThemByTable) {
    const auto s = server();
    ScratchDir dir;
    const std::wstring copy = uniqueName(L"quarndb_failed_");
    testing_support::writeFileBytes(dir.path() + L"\\schema.xml", kSessionsSchema);
    // Two rows of one key: the second fails; the third goes in.
    testing_support::writeFileBytes(dir.path() + L"\\data.xml",
                                    "<data><table name=\"sessions\">"
                                    "<row><field name=\"id\">1</field><field name=\"login\">a</field></row>"
                                    "<row><field name=\"id\">1</field><field name=\"login\">b</field></row>"
                                    "<row><field name=\"id\">2</field><field name=\"login\">c</field></row>"
                                    "</table></data>");
    ServerEnvironment environment;
    ScopedEnv login(L"QUARN_DB_LOGIN", s.adminLogin), password(L"QUARN_DB_PASSWD", s.adminPassword);
    ScopedEnv name(L"QUARN_DB_NAME", copy);
    EXPECT_EQ(runQuarnDb(dir, L"import-schema schema.xml --create-database").exitCode, 0u);
    const Outcome data = runQuarnDb(dir, L"import-data data.xml");
    EXPECT_EQ(data.exitCode, 1u);
    // The log's console copy names the failed row on standard output too,
    // by its number and the server's error, never by its values.
    EXPECT_NE(data.out.find("Unable to import row 2 of table 'sessions': MySQL error 1062: Duplicate entry '...' "
                            "for key 'PRIMARY'"),
              std::string::npos)
        << data.out;
    EXPECT_EQ(data.out.find("'b'"), std::string::npos) << data.out;
    EXPECT_NE(data.out.find("sessions: 2 rows\r\n"), std::string::npos) << data.out;
    EXPECT_EQ(data.err, "sessions: 1 row failed\r\n1 row of 1 table could not be imported; the log gives each row's error\r\n");

    // An import that stops later with an error counts the failed rows of the
    // tables before the stop too.
    auto admin = connectAdmin();
    admin->use(copy);
    admin->execute(L"CREATE TABLE blocked (id int PRIMARY KEY)");
    admin->execute(L"INSERT INTO blocked VALUES (1)");
    admin->execute(L"CREATE TRIGGER blocked_delete BEFORE DELETE ON blocked FOR EACH ROW SIGNAL SQLSTATE '45000' "
                   L"SET MESSAGE_TEXT = 'blocked stays'");
    std::string document = testing_support::readFileBytes(dir.path() + L"\\data.xml");
    document.replace(document.find("</data>"), 7, "<table name=\"blocked\"/></data>");
    testing_support::writeFileBytes(dir.path() + L"\\stopped.xml", document);
    const Outcome stopped = runQuarnDb(dir, L"import-data stopped.xml");
    EXPECT_EQ(stopped.exitCode, 1u);
    EXPECT_NE(stopped.err.find("blocked stays"), std::string::npos) << stopped.err;
    EXPECT_NE(stopped.err.find("sessions: 1 row failed\r\n1 row of 1 table could not be imported"), std::string::npos)
        << stopped.err;
    connectAdmin()->execute(L"DROP DATABASE IF EXISTS `" + copy + L"`");
}
