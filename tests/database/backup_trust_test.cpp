// A backup an administrator can trust: an export that cannot read every row
// fails instead of writing a short table; it reads every table from one
// snapshot of committed rows and leaves out views and generated columns; an
// import reads the whole document before it changes anything, refuses the
// wrong kind of document, rolls back the table it stops in and restores in
// the session a restore needs. All on the sandbox server.
#include "database_fixture.h"

#include "database/content_handler_wrapper.h"
#include "database/document_check.h"
#include "database/transfer_progress.h"
#include "database/xml_export_writer.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "test_support.h"

#include <functional>
#include <map>
#include <set>
#include <thread>

using namespace dbtest;
using testing_support::ScratchDir;

namespace {

template <class Body>
void reported(Body body) {
    try {
        body();
    } catch (const vexception& error) {
        ADD_FAILURE() << cstr(error.fullText(), CP_UTF8);
    }
}

// Every value of the first column of `sql`, NULL as "<NULL>".
std::vector<std::wstring> column(IDatabaseProvider* provider, const std::wstring& sql) {
    std::vector<std::wstring> values;
    RecordSetRef rows(provider->query(sql));
    while (rows->next()) values.push_back(rows->getString(0, L"<NULL>", false));
    return values;
}

std::wstring scalar(IDatabaseProvider* provider, const std::wstring& sql) {
    const auto values = column(provider, sql);
    return values.empty() ? L"<none>" : values.front();
}

// A database of its own on the sandbox server, dropped at the end.
class Scratch {
public:
    Scratch() : name(uniqueName(L"trust_")) { connectAdmin()->execute(L"CREATE DATABASE `" + name + L"`"); }
    ~Scratch() { connectAdmin()->execute(L"DROP DATABASE IF EXISTS `" + name + L"`"); }
    template <class Provider = MySQLDatabaseProvider>
    std::unique_ptr<Provider> connect() const {
        auto provider = std::make_unique<Provider>();
        const auto s = server();
        provider->connect(s.host, name, s.adminLogin, s.adminPassword, serverPort(), L"");
        return provider;
    }
    void run(std::initializer_list<const wchar_t*> statements) const {
        auto provider = connect();
        for (const wchar_t* sql : statements) provider->execute(sql);
    }
    // What another session sees committed.
    std::vector<std::wstring> committed(const std::wstring& sql) const {
        auto reader = connect();
        reader->execute(L"SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
        return column(reader.get(), sql);
    }
    void importData(IDatabaseProvider* provider, const std::wstring& source) const {
        const auto s = server();
        provider->ImportData(source, s.host, name, s.adminLogin, s.adminPassword, serverPort(), L"");
    }
    const std::wstring name;
};

std::wstring writeDocument(const ScratchDir& dir, const std::wstring& text) {
    static int documents = 0;
    const std::wstring path = dir.path() + L"\\document" + std::to_wstring(++documents) + L".xml";
    EXPECT_TRUE(testing_support::writeFileBytes(path, cstr(text, CP_UTF8)));
    return path;
}

// Counts the statements a provider executes.
class CountingProvider : public MySQLDatabaseProvider {
public:
    void execute(const std::wstring& sql) override {
        ++statements;
        MySQLDatabaseProvider::execute(sql);
    }
    int statements = 0;
};

// The rows of each table of an export, each as its fields' text.
class RecordingWriter : public IDatabaseExportWriter {
public:
    void setAttribute(const std::wstring& name, const std::wstring& value) override {
        if (name == L"name") name_ = value;
        if (name == L"time_zone") zone = value;
    }
    void startElement(const std::wstring& name) override {
        if (name == L"table") {
            table_ = name_;
            tables[table_];
        } else if (name == L"row") {
            tables[table_].emplace_back();
        } else if (name == L"field") {
            fields[table_].insert(name_);
        }
    }
    void characters(const std::wstring& text) override { tables[table_].back() += text + L"|"; }
    void endElement(const std::wstring& name) override {
        if (name == L"table" && onTableEnd) onTableEnd(table_);
    }
    std::map<std::wstring, std::vector<std::wstring>> tables;
    std::map<std::wstring, std::set<std::wstring>> fields;
    std::wstring zone;
    std::function<void(const std::wstring&)> onTableEnd;

private:
    std::wstring name_, table_;
};

class Progress : public IDatabaseProgress {
public:
    void rowDone(bool) override {
        if (onRow) onRow(++rows);
    }
    void tableDone(const std::wstring&, uint64_t) override {}
    void warning(const std::wstring& text) override { warnings.push_back(text); }
    std::vector<std::wstring> warnings;
    std::function<void(int)> onRow;
    int rows = 0;
};

constexpr const wchar_t* kTwoTables =
    L"<data><table name='a'><row><field name='id'>1</field></row><row><field name='id'>1</field></row>"
    L"<row><field name='id'>2</field></row></table><table name='b'><row><field name='id'>7</field></row>"
    L"</table></data>";

}  // namespace

// With the rows streamed, an error on their way (the statement killed or out
// of time, the connection lost) is what the client library reports as the
// end of the rows; the export must fail instead of writing the table short.
TEST(BackupExport, RowsThatStopComingRaiseInsteadOfEndingTheTable) {
    class Streaming : public MySQLDatabaseProvider {
    public:
        using MySQLDatabaseProvider::queryForExport;
    };
    reported([&] {
        Scratch db;
        {
            // The server meets an error at the 3000th of 5000 rows.
            auto provider = db.connect<Streaming>();
            provider->execute(L"CREATE FUNCTION stop_at(n int) RETURNS int DETERMINISTIC BEGIN IF n = 3000 THEN "
                              L"SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'stopped here'; END IF; RETURN n; END");
            RecordSetRef rows(provider->queryForExport(L"SELECT stop_at(seq) FROM seq_1_to_5000"));
            int read = 0;
            const std::wstring message = messageOf([&] {
                while (rows->next()) ++read;
            });
            EXPECT_EQ(read, 2999);
            EXPECT_NE(message.find(L"The rows stopped coming after row 2999: MySQL error 1644: stopped here"),
                      std::wstring::npos)
                << cstr(message);
        }
        // KILL QUERY while the export reads a table larger than what the
        // connection buffers.
        auto provider = db.connect();
        provider->execute(L"CREATE TABLE big (id int PRIMARY KEY, v varchar(1000)) ENGINE=InnoDB");
        provider->execute(L"INSERT INTO big SELECT seq, REPEAT('x', 1000) FROM seq_1_to_30000");
        const std::wstring id = scalar(provider.get(), L"SELECT CONNECTION_ID()");
        class Killing : public IDatabaseExportWriter {
        public:
            explicit Killing(std::wstring id) : id_(std::move(id)) {}
            void setAttribute(const std::wstring&, const std::wstring&) override {}
            void startElement(const std::wstring& name) override {
                if (name == L"row" && ++rows == 1) connectAdmin()->execute(L"KILL QUERY " + id_);
            }
            void characters(const std::wstring&) override {}
            void endElement(const std::wstring&) override {}
            int rows = 0;

        private:
            std::wstring id_;
        } killing(id);
        const std::wstring message = messageOf([&] { provider->ExportTable(&killing, L"big"); });
        EXPECT_NE(message.find(L"The rows stopped coming after row"), std::wstring::npos) << cstr(message);
        EXPECT_LT(killing.rows, 30000);
    });
}

// Rows another session has not committed, and rows committed while the
// export runs, are in no table of the backup; the session keeps its own
// isolation level and time zone.
TEST(BackupExport, AllTablesComeFromOneSnapshotOfCommittedRows) {
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE a (id int PRIMARY KEY) ENGINE=InnoDB", L"CREATE TABLE b (id int PRIMARY KEY) ENGINE=InnoDB",
                L"INSERT INTO a VALUES (1)", L"INSERT INTO b VALUES (1)"});
        auto open = db.connect();
        open->execute(L"START TRANSACTION");
        open->execute(L"INSERT INTO a VALUES (2)");
        auto provider = db.connect();
        provider->execute(L"SET time_zone = '+03:00'");
        RecordingWriter writer;
        writer.onTableEnd = [&](const std::wstring& table) {
            if (table == L"a") db.run({L"INSERT INTO b VALUES (2)"});
        };
        provider->ExportData(&writer);
        open->execute(L"ROLLBACK");
        EXPECT_EQ(writer.tables[L"a"], std::vector<std::wstring>{L"1|"});
        EXPECT_EQ(writer.tables[L"b"], std::vector<std::wstring>{L"1|"});
        EXPECT_EQ(scalar(provider.get(), L"SELECT @@session.tx_isolation"), L"READ-UNCOMMITTED");
        EXPECT_EQ(scalar(provider.get(), L"SELECT @@session.time_zone"), L"+03:00");
    });
}

// import-data given a schema document would empty every table it names and
// insert nothing; import-schema given a data document would drop the
// database. Either is refused before the first statement, naming both kinds.
TEST(BackupImport, TheWrongKindOfDocumentIsRefusedBeforeAnyStatement) {
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE a (id int PRIMARY KEY)", L"INSERT INTO a VALUES (100)"});
        ScratchDir dir;
        const auto s = server();
        const struct {
            const char* what;
            bool schemaImport;
            const wchar_t* document;
            const wchar_t* message;
        } cases[] = {
            {"a schema document to import-data", false,
             L"<schema><table name='a'><column name='id' type='int'/></table></schema>",
             L"The document is a schema document (tables with their columns and indexes), not a data document "
             L"(the rows of tables)"},
            {"columns under another root, to import-data", false,
             L"<tables><table name='a'><column name='id' type='int'/></table></tables>", L"is a schema document"},
            {"a data document to import-schema", true,
             L"<data><table name='a'><row><field name='id'>1</field></row></table></data>",
             L"The document is a data document (the rows of tables), not a schema document (tables with their "
             L"columns and indexes)"},
            {"rows under the schema root", true,
             L"<schema><table name='a'><column name='id' type='int'/><row/></table></schema>", L"both rows"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            const std::wstring source = writeDocument(dir, c.document);
            CountingProvider provider;
            const std::wstring message = messageOf([&] {
                if (c.schemaImport)
                    provider.ImportSchema(source, s.host, db.name, s.adminLogin, s.adminPassword, serverPort(), L"",
                                          true, L"", L"");
                else
                    db.importData(&provider, source);
            });
            EXPECT_NE(message.find(c.message), std::wstring::npos) << cstr(message);
            EXPECT_NE(message.find(L"nothing was changed"), std::wstring::npos) << cstr(message);
            EXPECT_EQ(provider.statements, 0);
            EXPECT_EQ(db.committed(L"SELECT id FROM a"), std::vector<std::wstring>{L"100"});
        }
    });
}

// A document cut off or malformed anywhere, naming a name the server cannot
// take, or a table the database lacks or holds as a view, changes nothing:
// neither the transactional table nor the one whose engine has no
// transactions, which the import names before it starts.
TEST(BackupImport, ADocumentThatIsNotWholeChangesNoTable) {
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE a (id int PRIMARY KEY) ENGINE=InnoDB", L"CREATE TABLE b (id int PRIMARY KEY) ENGINE=MyISAM",
                L"CREATE VIEW w AS SELECT id FROM a", L"CREATE TABLE ms_jet_counter(id int unsigned auto_increment "
                L"PRIMARY KEY, val int)"});
        ScratchDir dir;
        const std::wstring first = L"<data><table name='a'><row><field name='id'>1</field></row></table>";
        const struct {
            const char* what;
            std::wstring document;
            const wchar_t* message;
        } cases[] = {
            {"cut off inside the second table",
             first + L"<table name='b'><row><field name='id'>7</field></row><row><field na", nullptr},
            {"malformed in the middle", first + L"<table name='b'><row><field name='id'>7</field></rwo></table></data>",
             nullptr},
            {"a column name longer than the server takes",
             first + L"<table name='b'><row><field name='" + std::wstring(65, L'c') + L"'>7</field></row></table></data>",
             L"it is longer than 64 characters"},
            {"a table the database lacks", first + L"<table name='missing'/></data>", L"it has no table 'missing'"},
            {"a view", first + L"<table name='w'><row><field name='id'>5</field></row></table></data>",
             L"'w' is a view, not a table"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            db.run({L"DELETE FROM a", L"DELETE FROM b", L"INSERT INTO a VALUES (100)", L"INSERT INTO b VALUES (200)"});
            MySQLDatabaseProvider provider;
            const std::wstring message = messageOf([&] { db.importData(&provider, writeDocument(dir, c.document)); });
            EXPECT_NE(message.find(L"nothing was changed"), std::wstring::npos) << cstr(message);
            if (c.message) {
                EXPECT_NE(message.find(c.message), std::wstring::npos) << cstr(message);
            }
            provider.disconnect();
            EXPECT_EQ(db.committed(L"SELECT id FROM a"), std::vector<std::wstring>{L"100"});
            EXPECT_EQ(db.committed(L"SELECT id FROM b"), std::vector<std::wstring>{L"200"});
        }
        // The whole document goes in; a failing row fails alone.
        MySQLDatabaseProvider provider;
        Progress progress;
        provider.setProgress(&progress);
        db.importData(&provider, writeDocument(dir, kTwoTables));
        EXPECT_EQ(db.committed(L"SELECT id FROM a ORDER BY id"), (std::vector<std::wstring>{L"1", L"2"}));
        EXPECT_EQ(db.committed(L"SELECT id FROM b"), std::vector<std::wstring>{L"7"});
        EXPECT_EQ(progress.warnings, std::vector<std::wstring>{L"Table 'b' cannot be rolled back if the import stops "
                                                                L"inside it: its engine, MyISAM, has no transactions"});
    });
}

// Once the import has begun, a stop inside a table (an interruption, a
// statement that fails, a deadlock) rolls that table back; a deadlock,
// which has already rolled it back on the server, stops the import rather
// than letting the rest of the table go in without the rows before it.
TEST(BackupImport, AStopInsideATableRollsItBack) {
    // The server choosing this session as a deadlock's victim at the second
    // row of table a: it rolls the transaction back and fails the statement.
    class Deadlocked : public MySQLDatabaseProvider {
    public:
        void execute(const std::wstring& sql) override {
            if (sql.rfind(L"INSERT INTO `a`", 0) == 0 && ++inserts == 2) {
                MySQLDatabaseProvider::execute(L"ROLLBACK");
                deadlock = true;
                throw vexception(L"Deadlock found when trying to get lock; try restarting transaction");
            }
            deadlock = false;
            MySQLDatabaseProvider::execute(sql);
        }
        unsigned lastErrorNumber() override { return deadlock ? 1213 : MySQLDatabaseProvider::lastErrorNumber(); }
        std::wstring lastError() override {
            return deadlock ? L"Deadlock found when trying to get lock" : MySQLDatabaseProvider::lastError();
        }
        int inserts = 0;
        bool deadlock = false;
    };
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE a (id int PRIMARY KEY) ENGINE=InnoDB", L"CREATE TABLE b (id int PRIMARY KEY) ENGINE=InnoDB",
                L"CREATE TABLE ms_jet_counter(id int unsigned auto_increment PRIMARY KEY, val int)"});
        ScratchDir dir;
        const std::wstring source = writeDocument(
            dir, L"<data><table name='a'><row><field name='id'>1</field></row><row><field name='id'>2</field></row>"
                 L"<row><field name='id'>3</field></row></table><table name='b'><row><field name='id'>7</field></row>"
                 L"</table></data>");
        for (const bool deadlock : {false, true}) {
            SCOPED_TRACE(deadlock ? "a deadlock" : "an interruption");
            db.run({L"DELETE FROM a", L"DELETE FROM b", L"INSERT INTO a VALUES (100)", L"INSERT INTO b VALUES (200)"});
            std::wstring message;
            if (deadlock) {
                Deadlocked provider;
                message = messageOf([&] { db.importData(&provider, source); });
                EXPECT_NE(message.find(L"Row 2 of table 'a' made the server roll back the table's transaction "
                                       L"(MySQL error 1213: Deadlock found when trying to get lock)"),
                          std::wstring::npos)
                    << cstr(message);
            } else {
                MySQLDatabaseProvider provider;
                Progress progress;
                progress.onRow = [](int row) {
                    if (row == 2) throw vexception(L"Interrupted");
                };
                provider.setProgress(&progress);
                message = messageOf([&] { db.importData(&provider, source); });
                EXPECT_NE(message.find(L"Interrupted"), std::wstring::npos) << cstr(message);
                EXPECT_EQ(scalar(&provider, L"SELECT @@in_transaction"), L"0");
            }
            EXPECT_EQ(db.committed(L"SELECT id FROM a"), std::vector<std::wstring>{L"100"});
            EXPECT_EQ(db.committed(L"SELECT id FROM b"), std::vector<std::wstring>{L"200"});
        }
    });
}

// What a backup holds comes back as it was: characters beyond the Basic
// Multilingual Plane, an AUTO_INCREMENT id of 0, a zero date (into a session
// whose mode refuses them), a child table's rows (restored before its parent
// is emptied) and TIMESTAMP instants (exported in one zone, imported in
// another). A generated column and a view stay out of the document.
TEST(BackupRoundTrip, WhatTheServerHoldsComesBackExactly) {
    // A server whose default mode refuses zero dates.
    class Refusing : public MySQLDatabaseProvider {
    public:
        int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                    const std::wstring& password, int32_t port, const std::wstring& socket) override {
            MySQLDatabaseProvider::connect(host, database, login, password, port, socket);
            execute(L"SET SESSION sql_mode = 'STRICT_ALL_TABLES,NO_ZERO_DATE,NO_ZERO_IN_DATE'");
            return 0;
        }
    };
    reported([&] {
        Scratch db;
        const std::wstring text = L"\U0001F600 and \U0001D11E, Gr\u00FC\u00DFe";
        {
            auto source = db.connect();
            for (const wchar_t* sql :
                 {L"CREATE TABLE chars (id int PRIMARY KEY, t varchar(40) CHARACTER SET utf8mb4)",
                  L"CREATE TABLE gen (id int PRIMARY KEY, doubled int AS (id * 2) VIRTUAL)",
                  L"INSERT INTO gen (id) VALUES (21)", L"CREATE VIEW doubled_view AS SELECT id, doubled FROM gen",
                  L"SET SESSION sql_mode = 'NO_AUTO_VALUE_ON_ZERO'",
                  L"CREATE TABLE zero (id int AUTO_INCREMENT PRIMARY KEY, d datetime NULL, at timestamp NULL)",
                  L"SET time_zone = '+05:00'",
                  L"INSERT INTO zero VALUES (0, '0000-00-00 00:00:00', '2020-01-01 12:00:00')",
                  L"CREATE TABLE parent (id int PRIMARY KEY) ENGINE=InnoDB",
                  L"CREATE TABLE child (id int PRIMARY KEY, parent int, FOREIGN KEY (parent) REFERENCES parent (id) "
                  L"ON DELETE CASCADE) ENGINE=InnoDB",
                  L"INSERT INTO parent VALUES (1)", L"INSERT INTO child VALUES (10, 1)",
                  L"CREATE TABLE ms_jet_counter(id int unsigned auto_increment PRIMARY KEY, val int)"})
                source->execute(sql);
            source->execute(L"INSERT INTO chars VALUES (1, '" + source->escape(text) + L"')");
        }
        const std::wstring instant = db.committed(L"SELECT UNIX_TIMESTAMP(at) FROM zero").at(0);
        ScratchDir dir;
        const std::wstring document = dir.path() + L"\\backup.xml";
        {
            auto exporter = db.connect();
            exporter->execute(L"SET time_zone = '+05:00'");
            XmlExportWriter writer(document);
            exporter->ExportData(&writer);
            writer.finish();
        }
        const std::string xml = testing_support::readFileBytes(document);
        EXPECT_EQ(xml.find("doubled"), std::string::npos) << xml;
        EXPECT_NE(xml.find("<table name=\"gen\" time_zone=\"+00:00\">"), std::string::npos) << xml;

        db.run({L"DELETE FROM chars", L"DELETE FROM gen", L"DELETE FROM zero", L"DELETE FROM child"});
        Refusing importer;
        db.importData(&importer, document);
        auto reader = db.connect();
        EXPECT_EQ(scalar(reader.get(), L"SELECT t FROM chars"), text);
        EXPECT_EQ(column(reader.get(), L"SELECT CONCAT(id, ' ', doubled) FROM gen"), std::vector<std::wstring>{L"21 42"});
        EXPECT_EQ(column(reader.get(), L"SELECT CONCAT(id, ' ', d, ' ', UNIX_TIMESTAMP(at)) FROM zero"),
                  std::vector<std::wstring>{L"0 0000-00-00 00:00:00 " + instant});
        EXPECT_EQ(column(reader.get(), L"SELECT CONCAT(id, ' ', parent) FROM child"), std::vector<std::wstring>{L"10 1"});
        // Strict mode stayed on for the restore.
        const std::wstring mode = scalar(&importer, L"SELECT @@session.sql_mode");
        EXPECT_NE(mode.find(L"STRICT_ALL_TABLES"), std::wstring::npos) << cstr(mode);
        EXPECT_EQ(mode.find(L"NO_ZERO_DATE"), std::wstring::npos) << cstr(mode);
        // A document naming the generated column (an older backup) restores
        // the rest of its row.
        db.run({L"DELETE FROM gen"});
        MySQLDatabaseProvider older;
        db.importData(&older, writeDocument(dir, L"<data><table name='gen'><row><field name='id'>5</field>"
                                                 L"<field name='doubled'>99</field></row></table></data>"));
        EXPECT_EQ(column(reader.get(), L"SELECT CONCAT(id, ' ', doubled) FROM gen"), std::vector<std::wstring>{L"5 10"});
    });
}

// Text whose bytes are no UTF-8 (here a latin1 column read without
// conversion) goes into the document as its bytes, not as U+FFFD.
TEST(BackupExport, TextThatIsNoUtf8TravelsAsItsBytes) {
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE l (id int PRIMARY KEY, t varchar(5) CHARACTER SET latin1)",
                L"INSERT INTO l VALUES (1, 'caf\u00E9')"});
        auto provider = db.connect();
        provider->execute(L"SET character_set_results = NULL");
        ScratchDir dir;
        const std::wstring path = dir.path() + L"\\latin1.xml";
        {
            XmlExportWriter writer(path);
            provider->ExportTable(&writer, L"l");
            writer.finish();
        }
        const std::string xml = testing_support::readFileBytes(path);
        // "caf\xE9" in base64, without type="text": a byte string.
        EXPECT_NE(xml.find("<field name=\"t\" encoding=\"base64\">Y2Fm6Q==</field>"), std::string::npos) << xml;
    });
}

// A column's type and extra text go into CREATE TABLE as they are: only
// what a column definition can hold is taken, before anything is created
// or dropped.
TEST(BackupImport, ASchemaColumnMustBeAColumnDefinition) {
    const struct {
        const wchar_t* text;
        bool literals;
        bool taken;
    } cases[] = {
        {L"int(10) unsigned", true, true},
        {L"decimal(10,2)", true, true},
        {L"enum('a','b''c','d\\'e')", true, true},
        {L"varchar(20) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin", true, true},
        {L"auto_increment", false, true},
        {L"on update current_timestamp()", false, true},
        {L"", false, true},
        {L"int, evil int", true, false},
        {L"int) ENGINE=MyISAM", true, false},
        {L"int; DROP DATABASE x", true, false},
        {L"int -- comment", true, false},
        {L"int /* x */", true, false},
        {L"enum('a", true, false},
        {L"default 'x'", false, false},
        {L"auto_increment, `x` int", false, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DocumentCheck::definitionProblem(c.text, c.literals).empty(), c.taken) << cstr(c.text);
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE kept (id int)"});
        ScratchDir dir;
        const auto s = server();
        CountingProvider provider;
        const std::wstring message = messageOf([&] {
            provider.ImportSchema(writeDocument(dir, L"<schema><table name='t'><column name='id' type='int, evil int'/>"
                                                     L"</table></schema>"),
                                  s.host, db.name, s.adminLogin, s.adminPassword, serverPort(), L"", true, L"", L"");
        });
        EXPECT_NE(message.find(L"The document gives column 'id' of table 't' a type or extra text that is no column "
                               L"definition: it holds a comma outside parentheses"),
                  std::wstring::npos)
            << cstr(message);
        EXPECT_EQ(provider.statements, 0);
        EXPECT_EQ(db.committed(L"SHOW TABLES"), std::vector<std::wstring>{L"kept"});
    });
}

// Ctrl+C or a closing console (quarndb's console handler asks for it)
// stops the transfer at its next row: the table it was importing goes back
// to what it held.
TEST(BackupImport, AnInterruptionRollsBackTheOpenTable) {
    class InterruptedAtRow2 : public TransferProgress {
    public:
        InterruptedAtRow2() : TransferProgress(Mode::Quiet, Work::Rows) {}
        void rowDone(bool failed) override {
            if (++rows == 2) TransferProgress::interrupt();
            TransferProgress::rowDone(failed);
        }
        int rows = 0;
    };
    reported([&] {
        Scratch db;
        db.run({L"CREATE TABLE a (id int PRIMARY KEY) ENGINE=InnoDB",
                L"CREATE TABLE ms_jet_counter(id int unsigned auto_increment PRIMARY KEY, val int)",
                L"INSERT INTO a VALUES (100)"});
        ScratchDir dir;
        MySQLDatabaseProvider provider;
        InterruptedAtRow2 progress;
        provider.setProgress(&progress);
        const std::wstring message = messageOf([&] {
            db.importData(&provider, writeDocument(dir, L"<data><table name='a'><row><field name='id'>1</field></row>"
                                                        L"<row><field name='id'>2</field></row>"
                                                        L"<row><field name='id'>3</field></row></table></data>"));
        });
        TransferProgress::interrupt(false);
        EXPECT_EQ(message.rfind(L"Interrupted\n", 0), 0u) << cstr(message);
        EXPECT_EQ(db.committed(L"SELECT id FROM a"), std::vector<std::wstring>{L"100"});
    });
}

// The backup file: a program that holds the earlier backup for a moment
// (a virus scanner) delays the export, and no temporary file stays.
TEST(BackupExport, ABackupHeldForAMomentIsReplacedWhenItIsFree) {
    reported([&] {
        ScratchDir dir;
        const std::wstring path = dir.path() + L"\\held.xml";
        ASSERT_TRUE(testing_support::writeFileBytes(path, "<data>the earlier backup</data>"));
        UniqueFileHandle held(
            ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held);
        std::thread scanner([&] {
            ::Sleep(600);
            held.reset();
        });
        {
            XmlExportWriter writer(path);
            writer.setAttribute(L"name", L"t");
            writer.startElement(L"table");
            writer.endElement(L"table");
            EXPECT_NO_THROW(writer.finish());
        }
        scanner.join();
        EXPECT_NE(testing_support::readFileBytes(path).find("<table name=\"t\"/>"), std::string::npos);
        WIN32_FIND_DATAW found{};
        // The writer's own temporary file ("qdb…"). Wine's ReplaceFileW, refused
        // while the backup is held, may leave a temporary file of its own
        // ("rf…"), which Windows' does not.
        UniqueFindHandle search(::FindFirstFileW((dir.path() + L"\\qdb*.tmp").c_str(), &found));
        EXPECT_FALSE(search) << cstr(found.cFileName);
    });
}
