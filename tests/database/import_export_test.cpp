#include "database_fixture.h"

#include "database/content_handler_wrapper.h"
#include "database/mysql_data_importer.h"
#include "database/mysql_schema_importer.h"
#include "database/xml_export_writer.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "test_support.h"

#include <algorithm>

using namespace dbtest;

namespace {

// A provider that keeps every statement it executes (and, with `forward`,
// runs it).
class RecordingProvider : public MySQLDatabaseProvider {
public:
    void execute(const std::wstring& sql) override {
        statements.push_back(sql);
        if (forward) MySQLDatabaseProvider::execute(sql);
    }
    std::vector<std::wstring> statements;
    bool forward = true;
};

// A database of its own on the sandbox server, dropped at the end.
class ScratchDatabase {
public:
    ScratchDatabase() : name(uniqueName(L"xml_")) { connectAdmin()->execute(L"CREATE DATABASE `" + name + L"`"); }
    ~ScratchDatabase() { connectAdmin()->execute(L"DROP DATABASE IF EXISTS `" + name + L"`"); }
    // A recording provider connected to it as the administrator.
    std::unique_ptr<RecordingProvider> connect() const {
        auto provider = std::make_unique<RecordingProvider>();
        const auto s = server();
        provider->connect(s.host, name, s.adminLogin, s.adminPassword, serverPort(), L"");
        provider->statements.clear();
        return provider;
    }
    const std::wstring name;
};

std::wstring writeDocument(const testing_support::ScratchDir& dir, const wchar_t* file, const std::wstring& text) {
    const std::wstring path = dir.path() + L"\\" + file;
    EXPECT_TRUE(testing_support::writeFileBytes(path, cstr(text, CP_UTF8)));
    return path;
}

// Every row of `sql` as text, NULL shown as "<NULL>".
std::vector<std::vector<std::wstring>> rowsOf(IDatabaseProvider* provider, const std::wstring& sql) {
    std::vector<std::vector<std::wstring>> rows;
    RecordSetRef records(provider->query(sql));
    while (records->next()) {
        rows.emplace_back();
        for (int i = 0; i < records->fieldCount(); ++i)
            rows.back().push_back(records->isNull(i, false) ? L"<NULL>" : records->getString(i, L"", false));
    }
    return rows;
}

void importSchemaAsAdmin(IDatabaseProvider* provider, const std::wstring& source, const std::wstring& database,
                         bool createDatabase) {
    const auto s = server();
    provider->ImportSchema(source, s.host, database, s.adminLogin, s.adminPassword, serverPort(), L"",
                           createDatabase, L"", L"");
}

constexpr const wchar_t* kSchema = LR"xml(<?xml version="1.0" encoding="UTF-8"?>
<schema>
 <table name="clients">
  <column name="pool_id" type="int(10) unsigned" null="NO" default="" extra="auto_increment"/>
  <column name="name" type="varchar(200)" null="YES" default="" extra=""/>
  <column name="note" type="text" null="YES" default="" extra=""/>
  <column name="title" type="varchar(20)" null="NO" default="it's" extra=""/>
  <column name="unix_only" type="int" null="YES" platform="UNIX"/>
  <index key_name="PRIMARY" column_name="pool_id" non_unique="0" Collation="A"/>
  <index key_name="by_name" column_name="name" non_unique="1" Collation="D"/>
 </table>
 <table name="unix_table" platform="UNIX"><column name="a" type="int"/></table>
</schema>)xml";

// Runs a test body, reporting a vexception with its full text.
template <class Body>
void reported(Body body) {
    try {
        body();
    } catch (const vexception& error) {
        ADD_FAILURE() << cstr(error.fullText());
    }
}

}  // namespace

TEST(SchemaImport, ElementRulesGiveTheStatements) {
    reported([&] {
        ScratchDatabase database;
        auto provider = database.connect();
        // Statements only: this server refuses a default for an
        // auto_increment column.
        provider->forward = false;
        testing_support::ScratchDir dir;
        const std::wstring source = writeDocument(dir, L"schema.xml", LR"xml(<schema>
     <table name="t1">
      <column name="id" type="int(10) unsigned" null="NO" default="0" extra="auto_increment"/>
      <column name="a" type="int" null="NO" default="" extra=""/>
      <column name="b" type="varchar(10)" null="YES" default="it's" extra=""/>
      <column name="c" type="timestamp" null="NO" default="CURRENT_TIMESTAMP" extra=""/>
      <co name="ignored" type="int"/>
      <index key_name="PRIMARY" column_name="a" non_unique="0" Collation="A"/>
      <index key_name="PRIMARY" column_name="b" non_unique="0" Collation="A"/>
      <index key_name="u`k" column_name="id" non_unique="0" Collation="D"/>
      <column name="w" type="int" platform="WIN"/>
      <index key_name="x" column_name="id" non_unique="1" Collation="A" platform="LINUX"/>
     </table>
     <t name="not_a_table"/>
     <table name="other" platform="UNIX"><column name="a" type="int"/><index key_name="PRIMARY" column_name="a"/></table>
     <table name="we`ird"><column name="x" type="int"/></table>
    </schema>)xml");
        MySQLSchemaImporter importer(provider.get(), false);
        ContentHandlerWrapper::parseURL(&importer, source);
        const std::vector<std::wstring> expected = {
            L"DROP TABLE IF EXISTS `t1`",
            L"CREATE TABLE `t1` (`id` int(10) unsigned NOT NULL default '0' auto_increment,`a` int NOT NULL ,"
            L"`b` varchar(10) default 'it\\'s' ,`c` timestamp NOT NULL default CURRENT_TIMESTAMP ,`w` int NOT NULL ,"
            L"PRIMARY KEY  (`a` ASC, `b` ASC) ,UNIQUE KEY `u``k` (`id` DESC) ) ENGINE=InnoDB DEFAULT CHARSET=utf8",
            L"DROP TABLE IF EXISTS `we``ird`",
            L"CREATE TABLE `we``ird` (`x` int NOT NULL ) ENGINE=InnoDB DEFAULT CHARSET=utf8",
        };
        EXPECT_EQ(provider->statements, expected);
        // A freshly created database drops nothing first.
        provider->statements.clear();
        MySQLSchemaImporter fresh(provider.get(), true);
        ContentHandlerWrapper::parseURL(&fresh, source);
        ASSERT_EQ(provider->statements.size(), 2u);
        EXPECT_EQ(provider->statements[0].rfind(L"CREATE TABLE `t1`", 0), 0u);
    });
}

TEST(DataImport, ElementRulesGiveTheStatements) {
    reported([&] {
        ScratchDatabase database;
        auto provider = database.connect();
        provider->execute(L"CREATE TABLE `t``q` (id int PRIMARY KEY, v varchar(50) NULL, w varchar(50) NULL)");
        provider->execute(L"INSERT INTO `t``q` VALUES (99, 'old', 'old')");
        provider->statements.clear();
        testing_support::ScratchDir dir;
        const std::wstring source = writeDocument(dir, L"data.xml", LR"xml(<data>
     <table name="t`q">
      <row><field name="id">1</field><field name="v" value="abc" isnull="true">def</field><field name="w" value="x-">y'z</field></row>
      <row><field name="id">1</field><field name="v">duplicate key: logged, skipped</field></row>
      <row platform="UNIX"><field name="id">3</field></row>
      <row><field name="id">4</field><field name="v" platform="UNIX">left out</field><f name="w">not a field</f></row>
     </table>
     <table name="t`q" platform="LINUX"><row><field name="id">5</field></row></table>
    </data>)xml");
        MySQLDataImporter importer(provider.get());
        ContentHandlerWrapper::parseURL(&importer, source);
        const std::vector<std::wstring> expected = {
            L"START TRANSACTION",
            L"delete from `t``q`",
            L"INSERT INTO `t``q` (`id`,`v`,`w`) VALUES ('1',NULL,'x-y\\'z')",
            L"INSERT INTO `t``q` (`id`,`v`) VALUES ('1','duplicate key: logged, skipped')",
            L"INSERT INTO `t``q` (`id`) VALUES ('4')",
            L"COMMIT",
        };
        EXPECT_EQ(provider->statements, expected);
        const std::vector<std::vector<std::wstring>> rows = {{L"1", L"<NULL>", L"x-y'z"}, {L"4", L"<NULL>", L"<NULL>"}};
        EXPECT_EQ(rowsOf(provider.get(), L"SELECT * FROM `t``q` ORDER BY id"), rows);
        EXPECT_NE(debugLog().find(L"Unable to import data row: INSERT INTO `t``q` (`id`,`v`) VALUES ('1','duplicate"),
                  std::wstring::npos);
    });
}

// The export reads a table's rows as the server sends them. A writer that
// fails part-way leaves the rest of them unread: they are read and dropped
// when the rows are released, and the connection serves the next statement.
TEST(Export, AWriterFailingPartWayLeavesTheConnectionUsable) {
    class FailingWriter : public IDatabaseExportWriter {
    public:
        void setAttribute(const std::wstring&, const std::wstring&) override {}
        void startElement(const std::wstring& name) override {
            if (name == L"row" && ++rows == 3) throw vexception(L"disk full");
        }
        void characters(const std::wstring&) override {}
        void endElement(const std::wstring&) override {}
        int rows = 0;
    };
    reported([&] {
        ScratchDatabase database;
        auto provider = database.connect();
        provider->execute(L"CREATE TABLE many (id int PRIMARY KEY, v varchar(200))");
        std::wstring insert = L"INSERT INTO many VALUES (0, REPEAT('x', 200))";
        for (int id = 1; id < 2000; ++id) insert += L",(" + std::to_wstring(id) + L", REPEAT('x', 200))";
        provider->execute(insert);
        FailingWriter writer;
        EXPECT_EQ(messageOf([&] { provider->ExportTable(&writer, L"many"); }), L"disk full");
        EXPECT_EQ(rowsOf(provider.get(), L"SELECT COUNT(*) FROM many"), std::vector<std::vector<std::wstring>>({{L"2000"}}));
    });
}

TEST(Export, EmptyTableWritesOnlyItsTableElement) {
    reported([&] {
        ScratchDatabase database;
        auto provider = database.connect();
        provider->execute(L"CREATE TABLE `e'mpty` (id int)");
        testing_support::ScratchDir dir;
        const std::wstring path = dir.path() + L"\\empty.xml";
        XmlExportWriter writer(path);
        provider->ExportTable(&writer, L"e'mpty");
        provider->ExportTable(&writer, L"ms_jet_counter");
        writer.finish();
        const std::string text = testing_support::readFileBytes(path);
        EXPECT_NE(text.find("<data>\n\t<table name=\"e'mpty\"/>\n</data>"), std::string::npos) << text;
        EXPECT_EQ(text.find("ms_jet_counter"), std::string::npos);
    });
}

TEST(ImportExport, RoundTripKeepsEveryValue) {
    reported([&] {
        ScratchDatabase source, target;
        testing_support::ScratchDir dir;
        const std::wstring schema = writeDocument(dir, L"schema.xml", kSchema);
        MySQLDatabaseProvider from;
        importSchemaAsAdmin(&from, schema, source.name, true);
        const std::vector<std::wstring> inserts = {
            L"INSERT INTO clients (pool_id, name, note) VALUES (7, NULL, '')",
            L"INSERT INTO clients (pool_id, name, note) VALUES (41, 'Grüße, Привет, 日本語', 'a < b && c > d')",
            L"INSERT INTO clients (pool_id, name, note) VALUES (1200, 'quotes \\' \" `', 'line\\nbreaks\\n\\nand\\ttabs\\n')",
            L"INSERT INTO clients (pool_id, name, note) VALUES (13, '  padded  ', '&amp; <![CDATA[x]]> &#13;')",
        };
        for (const auto& sql : inserts) from.execute(sql);
        const std::wstring exported = dir.path() + L"\\data.xml";
        {
            XmlExportWriter writer(exported);
            from.ExportData(&writer);
            writer.finish();
        }
        MySQLDatabaseProvider to;
        importSchemaAsAdmin(&to, schema, target.name, true);
        const auto s = server();
        to.ImportData(exported, s.host, target.name, s.adminLogin, s.adminPassword, serverPort(), L"");
        const wchar_t* all = L"SELECT pool_id, name, note, title FROM clients ORDER BY pool_id";
        const auto expected = rowsOf(&from, all);
        ASSERT_EQ(expected.size(), inserts.size());
        EXPECT_EQ(expected[0][3], L"it's");  // the escaped default
        EXPECT_EQ(rowsOf(&to, all), expected);
        EXPECT_GT(to.nextId(L"clients", L"pool_id"), 1200u);
        EXPECT_TRUE(rowsOf(&to, L"SHOW TABLES LIKE 'unix_table'").empty());
    });
}

TEST(ImportSchema, AdministratorLoginAndDatabaseCreation) {
    reported([&] {
        const auto s = server();
        testing_support::ScratchDir dir;
        const std::wstring schema = writeDocument(dir, L"schema.xml", kSchema);
        MySQLDatabaseProvider provider;
        EXPECT_EQ(messageOf([&] {
                      provider.ImportSchema(schema, s.host, L"unused", s.login, L"x", serverPort(), L"", true,
                                            s.adminLogin, s.adminPassword);
                  }),
                  L"User " + s.login + L" already exists");

        // Without an administrator login the database is dropped and created.
        ScratchDatabase database;
        database.connect()->execute(L"CREATE TABLE stale (a int)");
        importSchemaAsAdmin(&provider, schema, database.name, true);
        const std::vector<std::vector<std::wstring>> tables = {{L"clients"}, {L"ms_jet_counter"}};
        EXPECT_EQ(rowsOf(&provider, L"SHOW TABLES"), tables);
    });
}

TEST(ImportSchema, BadInputStopsWithTheErrorAndKeepsWhatRan) {
    reported([&] {
        ScratchDatabase database;
        testing_support::ScratchDir dir;
        const struct {
            const wchar_t* document;
            const wchar_t* message;  // what the error holds; null: any parser error
            size_t creates;          // CREATE TABLE statements run before the stop
        } cases[] = {
            {L"<schema><table name='m1'><column name='a' type='int'/></table><table name='m2'><column", nullptr, 1},
            {L"<schema><table name='m1'><column name='a' type='int'/></table><table name='m2'>"
             L"<column name='a' type='no such type'/></table><table name='m3'/></schema>",
             L"Can't execute CREATE TABLE `m2`", 2},
        };
        for (const auto& c : cases) {
            auto provider = database.connect();
            provider->execute(L"DROP TABLE IF EXISTS m1");
            provider->statements.clear();
            const std::wstring source = writeDocument(dir, L"bad.xml", c.document);
            try {
                MySQLSchemaImporter importer(provider.get(), false);
                ContentHandlerWrapper::parseURL(&importer, source);
                ADD_FAILURE() << "no error for " << cstr(c.document);
            } catch (const vexception& error) {
                if (c.message) {
                    EXPECT_NE(error.fullText().find(c.message), std::wstring::npos) << cstr(error.fullText());
                }
            }
            EXPECT_EQ(std::count_if(provider->statements.begin(), provider->statements.end(),
                                    [](const std::wstring& sql) { return sql.rfind(L"CREATE TABLE", 0) == 0; }),
                      static_cast<long>(c.creates));
            EXPECT_EQ(rowsOf(provider.get(), L"SHOW TABLES"), std::vector<std::vector<std::wstring>>({{L"m1"}}));
        }
        // A missing document raises the reader's COM error.
        auto provider = database.connect();
        MySQLDataImporter importer(provider.get());
        EXPECT_THROW(ContentHandlerWrapper::parseURL(&importer, dir.path() + L"\\missing.xml"), vexception);
    });
}
