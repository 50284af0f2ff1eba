#include "database/database_provider.h"

#include "database/field_encoding.h"
#include "database/jet_database_provider.h"
#include "database/mssql_database_provider.h"
#include "database/mysql_database_provider.h"
#include "database/sql_identifier.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"

#include <vector>

namespace {

constexpr ContextSite kCreateSite{"CreateDatabaseProvider", 102};
constexpr ContextSite kImportSchemaSite{"IDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kExportTableSite{"IDatabaseProvider::ExportTable", 0};
constexpr ContextSite kImportDataSite{"IDatabaseProvider::ImportData", 0};

// The first column's value as a refusal names its row: text quoted, bytes
// in hex (X'...'), at most 64 characters of either.
std::wstring firstValue(IDatabaseRecordSet* rows) {
    if (rows->isNull(0, false)) return L"NULL";
    if (!rows->isBinary(0)) return L"'" + rows->getString(0, std::wstring(), false).substr(0, 64) + L"'";
    std::string bytes;
    rows->getBytes(0, bytes);
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring hex = L"X'";
    for (size_t i = 0; i < bytes.size() && i < 32; ++i) {
        hex += kHex[static_cast<unsigned char>(bytes[i]) >> 4];
        hex += kHex[static_cast<unsigned char>(bytes[i]) & 15];
    }
    return hex + L"'";
}

}  // namespace

bool IDatabaseRecordSet::isBinary(int) { return false; }

bool IDatabaseRecordSet::getBytes(int index, std::string& bytes) {
    std::wstring text;
    if (!getValue(index, text, false)) return false;
    bytes = cstr(text, CP_UTF8);
    return true;
}

void IDatabaseProgress::rowsFailed(const std::wstring&, uint64_t) {}

void IDatabaseProvider::ExportTable(IDatabaseExportWriter* writer, const std::wstring& table) {
    if (table == L"ms_jet_counter") return;
    writer->setAttribute(L"name", table);
    const std::wstring zone = exportTimeZone();
    if (!zone.empty()) writer->setAttribute(L"time_zone", zone);
    writer->startElement(L"table");
    RecordSetRef rows(queryForExport(L"select " + exportColumns(table) + L" from " + quoteIdentifier(table)));
    const int fields = rows->fieldCount();
    // Decoded once: every row repeats them.
    std::vector<std::wstring> names;
    for (int i = 0; i < fields; ++i) names.push_back(rows->fieldName(i));
    uint64_t row = 0;
    while (rows->next()) {
        ++row;
        writer->startElement(L"row");
        for (int i = 0; i < fields; ++i) {
            writer->setAttribute(L"name", names[i]);
            const bool null = rows->isNull(i, false);
            if (null) {
                writer->setAttribute(L"isnull", L"true");
                writer->startElement(L"field");
            } else if (rows->isBinary(i)) {
                std::string bytes;
                rows->getBytes(i, bytes);
                writer->setAttribute(L"encoding", L"base64");
                writer->startElement(L"field");
                writer->characters(base64Encode(bytes));
            } else {
                const std::wstring text = rows->getString(i, std::wstring(), false);
                if (!hasExactUtf8(text))
                    throw vexception(L"Unable to export table '" + table + L"': the value of column '" +
                                         rows->fieldName(i) + L"' in row " + std::to_wstring(row) + L" (" +
                                         rows->fieldName(0) + L" = " + firstValue(rows.get()) +
                                         L") holds a character that has no UTF-8 form",
                                     kExportTableSite.entry());
                if (xmlCarriesExactly(text)) {
                    writer->startElement(L"field");
                    writer->characters(text);
                } else {
                    writer->setAttribute(L"encoding", L"base64");
                    writer->setAttribute(L"type", L"text");
                    writer->startElement(L"field");
                    writer->characters(base64Encode(cstr(text, CP_UTF8)));
                }
            }
            writer->endElement(L"field");
        }
        writer->endElement(L"row");
    }
    writer->endElement(L"table");
}

void IDatabaseProvider::ImportSchema(const std::wstring&, const std::wstring&, const std::wstring&,
                                     const std::wstring&, const std::wstring&, int32_t, const std::wstring&, bool,
                                     const std::wstring&, const std::wstring&) {
    throw vexception(L"Not implemented", kImportSchemaSite.entry());
}

void IDatabaseProvider::ImportData(const std::wstring&, const std::wstring&, const std::wstring&,
                                   const std::wstring&, const std::wstring&, int32_t, const std::wstring&) {
    throw vexception(L"Not implemented", kImportDataSite.entry());
}

void IDatabaseProvider::setReconnectHandler(IDatabaseReconnectHandler*) {}

IDatabaseProvider* CreateDatabaseProvider(const std::wstring& name) {
    if (name == L"MySQL" || name.empty()) return new MySQLDatabaseProvider();
    if (name == L"MSSQL") return new MSSQLDatabaseProvider();
    if (name == L"Jet") return new JetDatabaseProvider();
    throw vexception(L"Unable to build database provider " + name, kCreateSite.entry());
}
