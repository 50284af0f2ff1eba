// A backup comes back exactly or is refused: every byte of a binary column
// and every kind of character of a text column survives export and import
// through fresh databases on the sandbox server; a failed export leaves the
// earlier backup; rows the server cannot take fail alone, with their cause.
#include "database_fixture.h"

#include "database/ado_record_set.h"
#include "database/content_handler_wrapper.h"
#include "database/field_encoding.h"
#include "database/mysql_data_importer.h"
#include "database/xml_export_writer.h"
#include "diagnostics/text.h"
#include "test_support.h"

using namespace dbtest;
using testing_support::ScratchDir;

namespace {

// A database of its own on the sandbox server, dropped at the end.
class FreshDatabase {
public:
    FreshDatabase() : name(uniqueName(L"exact_")) {}
    ~FreshDatabase() { connectAdmin()->execute(L"DROP DATABASE IF EXISTS `" + name + L"`"); }
    const std::wstring name;
};

std::wstring hex(const std::string& bytes) {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring text;
    for (unsigned char b : bytes) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

std::vector<std::wstring> column(IDatabaseProvider* provider, const std::wstring& sql) {
    std::vector<std::wstring> values;
    RecordSetRef rows(provider->query(sql));
    while (rows->next()) values.push_back(rows->getString(0, L"<NULL>", false));
    return values;
}

constexpr const char* kSchema = R"xml(<schema><table name="kept">
 <column name="id" type="int" null="NO" default="" extra=""/>
 <column name="b" type="blob" null="YES" default="" extra=""/>
 <column name="v" type="varbinary(300)" null="YES" default="" extra=""/>
 <column name="t" type="text" null="YES" default="" extra=""/>
 <index key_name="PRIMARY" column_name="id" non_unique="0" Collation="A"/>
</table></schema>)xml";

// One row set to a canned value, for an export that must refuse it.
class OneRow : public DatabaseRecordSetBase {
public:
    explicit OneRow(std::wstring text) : text_(std::move(text)) {}
    bool next() override { return ++calls_ == 1; }
    bool moveFirst() override { return false; }
    bool moveLast() override { return false; }
    int fieldCount() override { return 2; }
    int fieldIndex(const std::wstring&) override { return -1; }
    bool hasField(const std::wstring&) override { return false; }
    std::wstring fieldName(int i) override { return i == 0 ? L"id" : L"name"; }
    bool isNull(int, bool) override { return false; }
    bool isEmpty(int, bool) override { return false; }
    std::wstring getString(int i, const std::wstring&, bool) override { return i == 0 ? L"17" : text_; }
    bool getValue(int i, std::wstring& t, bool) override {
        t = getString(i, L"", false);
        return true;
    }
    uint64_t rowCount() override { return 1; }

private:
    std::wstring text_;
    int calls_ = 0;
};

class CannedProvider : public MySQLDatabaseProvider {
public:
    std::wstring text;
    RecordSetRef query(const std::wstring&) override { return makeRecordSet<OneRow>(text); }
    RecordSetRef queryForExport(const std::wstring&) override { return makeRecordSet<OneRow>(text); }
};

class Progress : public IDatabaseProgress {
public:
    void tableDone(const std::wstring& table, uint64_t rows) override { done.emplace_back(table, rows); }
    void rowsFailed(const std::wstring& table, uint64_t rows) override { failed.emplace_back(table, rows); }
    std::vector<std::pair<std::wstring, uint64_t>> done, failed;
};

// The server's max_allowed_packet set globally for a scope (new connections
// see it), then restored.
class ScopedPacketLimit {
public:
    explicit ScopedPacketLimit(uint64_t bytes) {
        auto admin = connectAdmin();
        saved_ = column(admin.get(), L"SELECT @@global.max_allowed_packet").at(0);
        admin->execute(L"SET GLOBAL max_allowed_packet = " + std::to_wstring(bytes));
    }
    ~ScopedPacketLimit() { connectAdmin()->execute(L"SET GLOBAL max_allowed_packet = " + saved_); }

private:
    std::wstring saved_;
};

template <class Body>
void reported(Body body) {
    try {
        body();
    } catch (const vexception& error) {
        ADD_FAILURE() << cstr(error.fullText(), CP_UTF8);
    }
}

}  // namespace

TEST(FieldEncoding, Base64AndTheCharactersXmlCarries) {
    const struct {
        std::string bytes;
        const wchar_t* base64;
    } vectors[] = {{"", L""},         {"f", L"Zg=="},         {"fo", L"Zm8="},
                   {"foo", L"Zm9v"},  {"foobar", L"Zm9vYmFy"}, {std::string("\xff\xfe\x00", 3), L"//4A"}};
    for (const auto& v : vectors) {
        EXPECT_EQ(base64Encode(v.bytes), v.base64);
        std::string decoded = "untouched";
        EXPECT_TRUE(base64Decode(v.base64, decoded));
        EXPECT_EQ(decoded, v.bytes);
    }
    std::string decoded;
    EXPECT_TRUE(base64Decode(L" Zm9v\n YmFy ", decoded));
    EXPECT_EQ(decoded, "foobar");
    for (const wchar_t* bad : {L"Zg", L"Zg=", L"Z===", L"Zg==Zg==", L"Zm9*", L"=Zm9"})
        EXPECT_FALSE(base64Decode(bad, decoded)) << cstr(bad);

    EXPECT_TRUE(xmlCarriesExactly(L"tab\tline\n<&>'\" é 日本 \xFFFD \xD83D\xDE00"));
    for (const wchar_t* text : {L"\x01", L"\x1F", L"cr\r", L"\xFFFE", L"\xFFFF", L"\xD800", L"\xDC00x"})
        EXPECT_FALSE(xmlCarriesExactly(text)) << cstr(text, CP_UTF8);
    EXPECT_FALSE(xmlCarriesExactly(std::wstring(L"a\0b", 3)));
    EXPECT_TRUE(hasExactUtf8(L"\xD83D\xDE00 \x01 \xFFFF"));
    EXPECT_FALSE(hasExactUtf8(L"\xD83D"));
    EXPECT_FALSE(hasExactUtf8(L"x\xDE00y"));
}

TEST(ExportFidelity, EveryByteAndEveryKindOfCharacterComesBackExactly) {
    reported([&] {
        FreshDatabase source, target;
        ScratchDir dir;
        const std::wstring schema = dir.path() + L"\\schema.xml";
        ASSERT_TRUE(testing_support::writeFileBytes(schema, kSchema));
        const auto s = server();
        MySQLDatabaseProvider from;
        from.ImportSchema(schema, s.host, source.name, s.adminLogin, s.adminPassword, serverPort(), L"", true, L"", L"");

        std::string everyByte;
        for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
        std::wstring controls;
        for (wchar_t c = 1; c < 0x20; ++c) controls += c;
        // The product's tables are utf8 (three bytes at most): characters
        // beyond the first plane cannot be stored in them at all.
        const std::vector<std::wstring> texts = {
            std::wstring(L"\0starts with a zero\0and holds more", 34),
            controls,
            L"\x7F delete, \x85 next line, \xA0 no-break space",
            L"line\nfeed, carriage\rreturn, both\r\n, tab\t",
            L"<markup> & 'quotes' \"double\" ]]> &amp; <![CDATA[x]]>",
            L"Latin-1: é ÿ ß, Cyrillic: Привет, CJK: 日本語, Arabic: مرحبا",
            L"\xFFFD replacement, \xFFFE and \xFFFF non-characters, \xE000 private use",
            L"  padded  ",
            L"",
        };
        // Byte strings as hex literals, text as hex of its UTF-8 bytes: the
        // inserts themselves cannot lose anything.
        from.execute(L"INSERT INTO kept (id, b, v) VALUES (1, X'" + hex(everyByte) + L"', X'" + hex(everyByte) + L"')");
        from.execute(L"INSERT INTO kept (id, b, v) VALUES (2, X'', X'00')");
        for (size_t i = 0; i < texts.size(); ++i)
            from.execute(L"INSERT INTO kept (id, t) VALUES (" + std::to_wstring(10 + i) + L", _utf8 X'" +
                         hex(cstr(texts[i], CP_UTF8)) + L"')");
        const wchar_t* all = L"SELECT CONCAT_WS('|', id, HEX(b), HEX(v), HEX(t), ISNULL(b), ISNULL(t)) FROM kept "
                             L"ORDER BY id";
        const std::vector<std::wstring> expected = column(&from, all);
        ASSERT_EQ(expected.size(), texts.size() + 2);
        // CONCAT_WS leaves NULL out.
        EXPECT_EQ(expected[0], L"1|" + hex(everyByte) + L"|" + hex(everyByte) + L"|0|1");

        const std::wstring exported = dir.path() + L"\\backup.xml";
        {
            XmlExportWriter writer(exported);
            from.ExportData(&writer);
            writer.finish();
        }
        // Record sets read the values whole, and tell bytes from text.
        RecordSetRef rows(from.query(L"SELECT b, t FROM kept WHERE id IN (1, 10) ORDER BY id"));
        ASSERT_TRUE(rows->next());
        std::string bytes;
        EXPECT_TRUE(rows->isBinary(0));
        EXPECT_TRUE(rows->getBytes(0, bytes));
        EXPECT_EQ(bytes, everyByte);
        ASSERT_TRUE(rows->next());
        EXPECT_FALSE(rows->isBinary(1));
        EXPECT_EQ(rows->getString(1, L"", true), texts[0]);
        EXPECT_FALSE(rows->isEmpty(1, false));

        MySQLDatabaseProvider to;
        to.ImportSchema(schema, s.host, target.name, s.adminLogin, s.adminPassword, serverPort(), L"", true, L"", L"");
        Progress progress;
        to.setProgress(&progress);
        to.ImportData(exported, s.host, target.name, s.adminLogin, s.adminPassword, serverPort(), L"");
        EXPECT_TRUE(progress.failed.empty());
        EXPECT_EQ(column(&to, all), expected);
        // The document stays plain where plain text carries the value.
        const std::string document = testing_support::readFileBytes(exported);
        EXPECT_NE(document.find("<field name=\"t\">  padded  </field>"), std::string::npos);
        EXPECT_NE(document.find("<field name=\"b\" encoding=\"base64\">AAECAwQF"), std::string::npos);
    });
}

TEST(ExportFidelity, TextWithoutAnExactFormIsRefusedByTableColumnAndRow) {
    CannedProvider provider;
    provider.text = L"half a pair: \xD83D";
    ScratchDir dir;
    XmlExportWriter writer(dir.path() + L"\\refused.xml");
    const std::wstring message = messageOf([&] { provider.ExportTable(&writer, L"people"); });
    for (const wchar_t* part : {L"'people'", L"'name'", L"row 1", L"id = '17'"})
        EXPECT_NE(message.find(part), std::wstring::npos) << cstr(message, CP_UTF8);
    // A binary first column is named by its bytes in hex.
    class BinaryKey : public CannedProvider {
    public:
        RecordSetRef queryForExport(const std::wstring&) override {
            class Row : public OneRow {
            public:
                using OneRow::OneRow;
                bool isBinary(int i) override { return i == 0; }
                bool getBytes(int i, std::string& bytes) override {
                    if (i != 0) return OneRow::getBytes(i, bytes);
                    bytes = std::string("\x01\xFF", 2);
                    return true;
                }
            };
            return makeRecordSet<Row>(text);
        }
    } binary;
    binary.text = L"half a pair: \xD83D";
    const std::wstring hexMessage = messageOf([&] { binary.ExportTable(&writer, L"people"); });
    EXPECT_NE(hexMessage.find(L"row 1 (id = X'01FF')"), std::wstring::npos) << cstr(hexMessage, CP_UTF8);
}

TEST(ExportFidelity, AFailedExportLeavesTheEarlierBackup) {
    reported([&] {
        ScratchDir dir;
        const std::wstring path = dir.path() + L"\\backup.xml";
        ASSERT_TRUE(testing_support::writeFileBytes(path, "<data>the earlier backup</data>"));
        auto provider = connectAdmin();
        {
            XmlExportWriter writer(path);
            EXPECT_THROW(provider->ExportTable(&writer, L"no_such_table_here"), vexception);
        }
        EXPECT_EQ(testing_support::readFileBytes(path), "<data>the earlier backup</data>");
        // Nothing is left beside it.
        WIN32_FIND_DATAW found{};
        UniqueFindHandle search(::FindFirstFileW((dir.path() + L"\\*.tmp").c_str(), &found));
        EXPECT_FALSE(search) << cstr(found.cFileName);
        {
            XmlExportWriter writer(path);
            provider->ExportTable(&writer, L"db");
            writer.finish();
        }
        EXPECT_NE(testing_support::readFileBytes(path).find("<table name=\"db\""), std::string::npos);
    });
}

TEST(ExportFidelity, AdoByteArraysAreNotReadInTheAnsiCodePage) {
    SAFEARRAYBOUND bound{2, 0};
    SAFEARRAY* bytes = ::SafeArrayCreate(VT_UI1, 1, &bound);
    ASSERT_NE(bytes, nullptr);
    const unsigned char utf8[] = {0xC3, 0xA9};
    for (LONG i = 0; i < 2; ++i) ::SafeArrayPutElement(bytes, &i, const_cast<unsigned char*>(&utf8[i]));
    VARIANT array{};
    array.vt = VT_ARRAY | VT_UI1;
    array.parray = bytes;
    EXPECT_EQ(variantText(array), L"\xE9");
    ::VariantClear(&array);
}

TEST(DataImport, AnOversizedRowFailsWithItsCauseAndTheOthersGoIn) {
    reported([&] {
        FreshDatabase database;
        ScratchDir dir;
        const std::wstring schema = dir.path() + L"\\schema.xml";
        ASSERT_TRUE(testing_support::writeFileBytes(schema, kSchema));
        const auto s = server();
        const std::string huge(1536 * 1024, 'x');
        const std::wstring document = dir.path() + L"\\data.xml";
        ASSERT_TRUE(testing_support::writeFileBytes(
            document, "<data><table name=\"kept\"><row><field name=\"id\">1</field></row>"
                      "<row><field name=\"id\">2</field><field name=\"t\">" + huge + "</field></row>"
                      "<row><field name=\"id\">3</field></row></table></data>"));
        const ScopedPacketLimit limit(1024 * 1024);
        MySQLDatabaseProvider provider;
        provider.ImportSchema(schema, s.host, database.name, s.adminLogin, s.adminPassword, serverPort(), L"", true,
                              L"", L"");
        Progress progress;
        provider.setProgress(&progress);
        provider.ImportData(document, s.host, database.name, s.adminLogin, s.adminPassword, serverPort(), L"");
        EXPECT_EQ(column(&provider, L"SELECT id FROM kept ORDER BY id"), (std::vector<std::wstring>{L"1", L"3"}));
        EXPECT_EQ(progress.failed, (std::vector<std::pair<std::wstring, uint64_t>>{{L"kept", 1}}));
        EXPECT_EQ(progress.done, (std::vector<std::pair<std::wstring, uint64_t>>{{L"kept", 2}}));
        const std::wstring log = debugLog();
        EXPECT_NE(log.find(L"Row 2 of table 'kept' needs a "), std::wstring::npos);
        EXPECT_NE(log.find(L"more than the server's max_allowed_packet of 1048576 bytes"), std::wstring::npos);
        EXPECT_EQ(log.find(std::wstring(10000, L'x')), std::wstring::npos) << "the row's statement went to the log";
    });
}

TEST(DataImport, ALostConnectionStopsTheImport) {
    // Every insert fails and takes the connection with it.
    class Lost : public MySQLDatabaseProvider {
    public:
        void execute(const std::wstring& sql) override {
            if (sql.rfind(L"INSERT", 0) == 0) throw vexception(L"MySQL server has gone away");
        }
        RecordSetRef query(const std::wstring&) override { throw vexception(L"no server"); }
        // The client library's own escape needs the library set up by a
        // connection, which this provider never makes.
        std::wstring escape(const std::wstring& text) override { return text; }
        bool ping() override { return false; }
    } provider;
    ScratchDir dir;
    const std::wstring document = dir.path() + L"\\data.xml";
    ASSERT_TRUE(testing_support::writeFileBytes(
        document, "<data><table name=\"t\"><row><field name=\"id\">1</field></row>"
                  "<row><field name=\"id\">2</field></row></table></data>"));
    Progress progress;
    MySQLDataImporter importer(&provider, &progress);
    const std::wstring message = messageOf([&] { ContentHandlerWrapper::parseURL(&importer, document); });
    EXPECT_NE(message.find(L"The connection to the database was lost at row 1 of table 't'; the import stops"),
              std::wstring::npos)
        << cstr(message);
    EXPECT_TRUE(progress.done.empty());
}
