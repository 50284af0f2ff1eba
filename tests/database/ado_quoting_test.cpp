// Names and connection-string values on the ADO side: whatever characters a
// table, column or database name holds, it stays one identifier, and a
// database name or host stays one connection-string value.
#include "database_fixture.h"

#include "database/connection_string.h"
#include "database/jet_database_provider.h"
#include "database/mssql_database_provider.h"
#include "database/statement_rewrite.h"
#include "diagnostics/text.h"

using namespace dbtest;

namespace {

// Keeps each statement as it would reach the database (rewritten); queries
// answer no rows.
template <class Provider>
class Rewritten : public Provider {
public:
    std::vector<std::wstring> statements;
    RecordSetRef query(const std::wstring& sql) override {
        statements.push_back(this->rewrite(sql));
        return makeRecordSet<EmptyRecordSet>();
    }
    void execute(const std::wstring& sql) override { statements.push_back(this->rewrite(sql)); }

private:
    class EmptyRecordSet : public NoRowsRecordSet {};
};

class NullWriter : public IDatabaseExportWriter {
public:
    void setAttribute(const std::wstring&, const std::wstring&) override {}
    void startElement(const std::wstring&) override {}
    void characters(const std::wstring&) override {}
    void endElement(const std::wstring&) override {}
};

}  // namespace

TEST(AdoQuoting, BacktickNamesBecomeOneBracketedName) {
    const struct {
        const wchar_t* sql;
        const wchar_t* rewritten;
    } cases[] = {
        {L"select * from `a``b`", L"select * from [a`b]"},
        {L"select * from `x]; drop table y; --`", L"select * from [x]]; drop table y; --]"},
        {L"select `a'b`, `c\"\"d` from `t` where v='a`b]'", L"select [a'b], [c\"\"d] from [t] where v='a`b]'"},
        {L"set IDENTITY_INSERT [a]]b's] ON", L"set IDENTITY_INSERT [a]]b's] ON"},
        {L"select max([i\"d]) from [t] where x=\"y\"", L"select max([i\"d]) from [t] where x='y'"},
    };
    for (const auto& c : cases) EXPECT_EQ(rewriteStatement(c.sql, false), c.rewritten) << cstr(c.sql);

    // The export's query of a table named a`b reads that table, not "a" as "b".
    for (const wchar_t* table : {L"a`b", L"x]y", L"it's"}) {
        Rewritten<MSSQLDatabaseProvider> mssql;
        Rewritten<JetDatabaseProvider> jet;
        NullWriter writer;
        mssql.ExportTable(&writer, table);
        jet.ExportTable(&writer, table);
        std::wstring bracketed = table;
        if (bracketed == L"x]y") bracketed = L"x]]y";
        EXPECT_EQ(mssql.statements, std::vector<std::wstring>{L"select * from [" + bracketed + L"]"});
        EXPECT_EQ(jet.statements, std::vector<std::wstring>{L"select * from [" + bracketed + L"]"});
    }
}

TEST(AdoQuoting, UseNextIdAndIdentityInsertQuoteTheirNames) {
    Rewritten<MSSQLDatabaseProvider> mssql;
    mssql.use(L"zrt]; drop database x; --");
    mssql.nextId(L"t]x", L"i]d");
    mssql.setIdentityInsertTable(L"a]b");
    mssql.setIdentityInsertTable(L"");
    EXPECT_EQ(mssql.statements, (std::vector<std::wstring>{
                                    L"use [zrt]]; drop database x; --]",
                                    L"select max([i]]d]) from [t]]x] with (TABLOCK)",
                                    L"set IDENTITY_INSERT [a]]b] ON",
                                    L"set IDENTITY_INSERT [a]]b] OFF",
                                }));
}

TEST(AdoQuoting, ConnectionStringValuesCannotAddAttributes) {
    const struct {
        const wchar_t* value;
        const wchar_t* written;
    } cases[] = {
        {L"zrt", L"zrt"},
        {L"C:\\Program Files\\db\\zrt.mdb", L"C:\\Program Files\\db\\zrt.mdb"},
        {L"", L""},
        {L"zrt;Integrated Security=SSPI", L"\"zrt;Integrated Security=SSPI\""},
        {L"a=b", L"\"a=b\""},
        {L"{x}", L"\"{x}\""},
        {L"it's", L"\"it's\""},
        {L"say \"x\";", L"'say \"x\";'"},
        {L"both ' and \" ;", L"\"both ' and \"\" ;\""},
        {L" padded", L"\" padded\""},
    };
    for (const auto& c : cases) EXPECT_EQ(connectionStringValue(c.value), c.written) << cstr(c.value);

    MSSQLDatabaseProvider mssql;
    EXPECT_EQ(mssql.connectionString(L"db;Network Library=x", L"zrt;Initial Catalog=master"),
              L"Provider=SQLOLEDB.1;Initial Catalog=\"zrt;Initial Catalog=master\";"
              L"Data Source=\"db;Network Library=x\"");
    JetDatabaseProvider jet;
    EXPECT_EQ(jet.connectionString(L"", L"C:\\db\\a;Mode=Read.mdb"),
              L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source=\"C:\\db\\a;Mode=Read.mdb\"");
}
