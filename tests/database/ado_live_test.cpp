// The ADO providers on Wine's real ADO objects: ADODB.Connection and
// ADODB.Recordset of msado15, and a SQLite file reached through Wine's
// MSDASQL, odbc32 and unixODBC with a data source of the test's own (the
// file named by ODBCINI, which scripts/lib.sh points into the Wine prefix).
#include "database_fixture.h"

#include "database/ado_connection.h"
#include "database/jet_database_provider.h"
#include "diagnostics/text.h"
#include "test_support.h"

#include <cstdio>
#include <fstream>

using namespace dbtest;
using testing_support::systemText;

namespace {

using WineFileName = char* (*)(const wchar_t*);
using WineDosName = wchar_t* (*)(const char*);

// Debian's SQLite ODBC driver of this process's own architecture: unixODBC
// loads it into the Wine process, so a 32-bit test needs the i386 package.
#ifdef _WIN64
constexpr const char* kSqliteDriver = "/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so";
#else
constexpr const char* kSqliteDriver = "/usr/lib/i386-linux-gnu/odbc/libsqlite3odbc.so";
#endif

// A data source "QuarnAdoTest" for a SQLite file in a scratch folder,
// written to the odbc.ini that ODBCINI names. Empty `dataSource` when this
// is no Wine with ODBCINI set, or the driver is not installed; `missing`
// then says why.
class SqliteDataSource {
public:
    SqliteDataSource() {
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32");
        auto unixName = reinterpret_cast<WineFileName>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name")));
        auto dosName =
            reinterpret_cast<WineDosName>(reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_dos_file_name")));
        wchar_t ini[MAX_PATH] = {};
        if (!unixName || !dosName || ::GetEnvironmentVariableW(L"ODBCINI", ini, MAX_PATH) == 0) {
            missing = "no ODBCINI in the environment (scripts/lib.sh sets it)";
            return;
        }
        if (wchar_t* driver = dosName(kSqliteDriver)) {
            const bool present = ::GetFileAttributesW(driver) != INVALID_FILE_ATTRIBUTES;
            ::HeapFree(::GetProcessHeap(), 0, driver);
            if (!present) {
                missing = std::string("the SQLite ODBC driver of this architecture is not installed: ") + kSqliteDriver;
                return;
            }
        }
        file = scratch.path() + L"\\quarn.sqlite";
        char* unixFile = unixName(file.c_str());
        wchar_t* iniDos = dosName(cstr(ini).c_str());
        if (!unixFile || !iniDos) return;
        std::ofstream out(iniDos, std::ios::trunc);
        out << "[QuarnAdoTest]\nDriver = " << kSqliteDriver << "\nDatabase = " << unixFile << "\n";
        ::HeapFree(::GetProcessHeap(), 0, unixFile);
        ::HeapFree(::GetProcessHeap(), 0, iniDos);
        if (out.good()) dataSource = L"Provider=MSDASQL;Data Source=QuarnAdoTest";
    }

    testing_support::ScratchDir scratch;
    std::wstring file;
    std::wstring dataSource;
    std::string missing;
};

// A Jet provider (so plain-apostrophe rewriting, which SQLite takes) whose
// connection string names the SQLite data source.
class SqliteProvider : public JetDatabaseProvider {
public:
    explicit SqliteProvider(std::wstring source) : source_(std::move(source)) {}
    std::wstring connectionString(const std::wstring&, const std::wstring&) override { return source_; }

private:
    std::wstring source_;
};

uint64_t fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

TEST(AdoLive, ConnectionIsCreatedWithItsModeAndReportsTheTimeoutStep) {
    SqliteDataSource source;
    VADOConnection connection(SqlDialect::Jet);
    try {
        connection.open(source.dataSource.empty() ? L"Provider=MSDASQL;Data Source=none" : source.dataSource, L"", L"");
        EXPECT_TRUE(connection.isOpen());  // an ADO that takes the time-out
    } catch (const vexception& error) {
        // Wine: put_ConnectionTimeout answers E_NOTIMPL.
        EXPECT_EQ(error.message(), systemText(E_NOTIMPL) + L" (COM Error 80004001)");
        ASSERT_FALSE(error.context().empty());
        EXPECT_EQ(error.context().back().text, L"Set ADOConnectionTimeout parameter") << error.fullText();
        EXPECT_EQ(error.context().back().function, "VADOConnection::open");
        EXPECT_FALSE(connection.isOpen());
    }
    EXPECT_EQ(connection.mode(), 3);  // read back from the ADO object
}

TEST(AdoLive, StatementsRunInSqliteThroughMsdasql) {
    SqliteDataSource source;
    if (source.dataSource.empty()) GTEST_SKIP() << source.missing;
    SqliteProvider provider(source.dataSource);
    testing_support::ScratchDir work;
    JetDatabaseProvider::setWorkDirectory(work.path());
    // The provider's own connect stops where Wine's ADO does (the time-out);
    // the connection is then opened without it.
    try {
        provider.connect(L"", L"", L"", L"", 0, L"");
    } catch (const VDatabase::ConnectException& error) {
        EXPECT_EQ(error.context().back().text, L"Unable to ADO conect with connection string: " + source.dataSource);
    }
    JetDatabaseProvider::setWorkDirectory(L"");
    if (!provider.isConnected()) provider.connection().openConnection(source.dataSource, L"", L"", -1);
    ASSERT_TRUE(provider.isConnected());

    provider.execute(L"CREATE TABLE `people` (`id` INTEGER PRIMARY KEY, `name` TEXT)");
    provider.execute(L"INSERT INTO `people` (`id`, `name`) VALUES (1, \"it''s\")");
    EXPECT_GT(fileSize(source.file), 0u);
    // The same key again: SQLite refuses. (Wine's Errors collection stays
    // empty, so the text is the COM error's there.)
    const std::wstring refused =
        messageOf([&] { provider.execute(L"INSERT INTO `people` (`id`, `name`) VALUES (1, 'x')"); });
    EXPECT_FALSE(refused.empty());

    RecordSetRef rows;
    try {
        rows = provider.query(L"SELECT `id`, `name` FROM `people`");
    } catch (const vexception& error) {
        FAIL() << error.fullText();
    }
    ASSERT_EQ(rows->fieldCount(), 2);
    EXPECT_EQ(rows->fieldName(0), L"id");
    EXPECT_EQ(rows->fieldIndex(L"name"), 1);
    EXPECT_EQ(rows->fieldIndex(L"Name"), -1);
    std::printf("ADO record set: %d columns, row count %lld\n", rows->fieldCount(),
                static_cast<long long>(rows->rowCount()));
    if (rows->next()) {  // Wine's Recordset.Open gives the columns but no rows
        EXPECT_EQ(rows->getString(0, L"", false), L"1");
        EXPECT_EQ(rows->getString(1, L"", false), L"it's");
        EXPECT_FALSE(rows->next());
    } else {
        EXPECT_FALSE(rows->moveFirst());
    }
    provider.disconnect();
    EXPECT_FALSE(provider.isConnected());
}

TEST(AdoLive, ReadingPastTheLastRowRaises) {
    SqliteDataSource source;
    if (source.dataSource.empty()) GTEST_SKIP() << "no ODBCINI in the environment (scripts/lib.sh sets it)";
    SqliteProvider provider(source.dataSource);
    provider.connection().create(3);
    provider.connection().openConnection(source.dataSource, L"", L"", -1);
    ASSERT_TRUE(provider.isConnected());
    provider.execute(L"CREATE TABLE `one` (`id` INTEGER PRIMARY KEY)");
    provider.execute(L"INSERT INTO `one` (`id`) VALUES (1)");
    RecordSetRef rows(provider.query(L"SELECT `id` FROM `one`"));
    while (rows->next()) {
    }
    std::wstring text = L"untouched";
    EXPECT_EQ(messageOf([&] { rows->isNull(0, false); }), L"No current row to read column 0 from");
    EXPECT_EQ(messageOf([&] { rows->isEmpty(0, true); }), L"No current row to read column 0 from");
    EXPECT_EQ(messageOf([&] { rows->getValue(0, text, false); }), L"No current row to read column 0 from");
    EXPECT_EQ(text, L"untouched");
}
