#include "database_fixture.h"

using namespace dbtest;

namespace {

// Counts its destruction; the rest is never called.
class ProbeRecordSet : public NoRowsRecordSet {
public:
    explicit ProbeRecordSet(int* destroyed) : destroyed_(destroyed) {}

protected:
    ~ProbeRecordSet() override { ++*destroyed_; }

private:
    int* destroyed_;
};

constexpr const wchar_t* kThreeRows =
    L"SELECT 1 AS n, NULL AS v, 'a' AS w UNION ALL SELECT 2, '', 'b' UNION ALL SELECT 3, 'text', 'c'";

}  // namespace

TEST(RecordSet, TheLastOwnerDestroysIt) {
    int destroyed = 0;
    RecordSetRef first = makeRecordSet<ProbeRecordSet>(&destroyed);
    RecordSetRef second = RecordSetRef::share(first.get());
    first.reset();
    EXPECT_EQ(destroyed, 0);
    RecordSetRef moved(std::move(second));
    EXPECT_FALSE(second);
    EXPECT_EQ(destroyed, 0);
    moved = makeRecordSet<ProbeRecordSet>(&destroyed);
    EXPECT_EQ(destroyed, 1);
    {
        RecordSetRef held = makeRecordSet<ProbeRecordSet>(&destroyed);
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 2);
    moved.reset();
    EXPECT_EQ(destroyed, 3);
}

TEST(RecordSet, NavigationAndRowCount) {
    auto provider = connectProduct();
    RecordSetRef rows(provider->query(kThreeRows));
    EXPECT_EQ(rows->rowCount(), 3u);
    EXPECT_EQ(rows->fieldCount(), 3);
    EXPECT_EQ(rows->fieldName(2), L"w");
    EXPECT_EQ(rows->fieldIndex(L"v"), 1);
    EXPECT_EQ(rows->fieldIndex(L"V"), -1);
    EXPECT_FALSE(rows->hasField(L"missing"));
    for (const wchar_t* expected : {L"1", L"2", L"3"}) {
        ASSERT_TRUE(rows->next());
        EXPECT_EQ(rows->getString(0, L"", false), expected);
    }
    EXPECT_FALSE(rows->next());
    // A buffered result reports end-of-data: false, but the next row is positioned.
    EXPECT_FALSE(rows->moveLast());
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), L"3");
    EXPECT_FALSE(rows->moveFirst());
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(0, L"", false), L"1");
}

TEST(RecordSet, NullAndEmptyValuesWithBothFlags) {
    auto provider = connectProduct();
    RecordSetRef rows(provider->query(kThreeRows));
    ASSERT_TRUE(rows->next());  // v is NULL
    EXPECT_TRUE(rows->isNull(1, false));
    EXPECT_TRUE(rows->isNull(1, true));
    EXPECT_TRUE(rows->isEmpty(1, true));
    EXPECT_FALSE(rows->isEmpty(1, false));
    std::wstring text = L"untouched";
    EXPECT_FALSE(rows->getValue(1, text, false));
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(rows->getString(1, L"default", false), L"default");

    ASSERT_TRUE(rows->next());  // v is ''
    EXPECT_FALSE(rows->isNull(1, false));
    EXPECT_TRUE(rows->isNull(1, true));
    EXPECT_TRUE(rows->isEmpty(1, false));
    EXPECT_TRUE(rows->getValue(1, text, false));
    EXPECT_EQ(text, L"");
    text = L"untouched";
    EXPECT_FALSE(rows->getValue(1, text, true));
    EXPECT_EQ(text, L"untouched");
    EXPECT_EQ(rows->getString(1, L"default", true), L"default");
    EXPECT_EQ(rows->getString(1, L"default", false), L"");

    ASSERT_TRUE(rows->next());  // v is 'text'
    EXPECT_FALSE(rows->isNull(1, true));
    EXPECT_FALSE(rows->isEmpty(1, true));
    EXPECT_EQ(rows->getString(1, L"default", true), L"text");
}

TEST(RecordSet, ALaterColumnOfTheSameNameTakesTheName) {
    auto provider = connectProduct();
    RecordSetRef rows(provider->query(L"SELECT 1 AS id, 2 AS id, 3 AS other"));
    EXPECT_EQ(rows->fieldIndex(L"id"), 1);
    ASSERT_TRUE(rows->next());
    EXPECT_EQ(rows->getString(rows->fieldIndex(L"id"), L"", false), L"2");
}

TEST(RecordSet, ExportWritesRowsAndNulls) {
    struct Recorder : IDatabaseExportWriter {
        std::wstring out;
        void setAttribute(const std::wstring& n, const std::wstring& v) override { out += L"@" + n + L"=" + v; }
        void startElement(const std::wstring& n) override { out += L"<" + n + L">"; }
        void characters(const std::wstring& t) override { out += t; }
        void endElement(const std::wstring& n) override { out += L"</" + n + L">"; }
    } writer;
    auto provider = connectProduct();
    const std::wstring table = uniqueName(L"t_export");
    provider->execute(L"CREATE TABLE " + table + L" (a INT, b VARCHAR(5))");
    provider->execute(L"INSERT INTO " + table + L" VALUES (1, NULL)");
    provider->ExportTable(&writer, table);
    EXPECT_EQ(writer.out, L"@name=" + table + L"<table><row>@name=a<field>1</field>@name=b@isnull=true<field></field>"
                                              L"</row></table>");
    writer.out.clear();
    provider->ExportTable(&writer, L"ms_jet_counter");
    EXPECT_EQ(writer.out, L"");
    provider->execute(L"DROP TABLE " + table);
}
