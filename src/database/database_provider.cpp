#include "database/database_provider.h"

#include "database/jet_database_provider.h"
#include "database/mssql_database_provider.h"
#include "database/mysql_database_provider.h"
#include "database/sql_identifier.h"
#include "diagnostics/exceptions.h"

#include <vector>

namespace {

constexpr ContextSite kCreateSite{"CreateDatabaseProvider", 102};
constexpr ContextSite kImportSchemaSite{"IDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kImportDataSite{"IDatabaseProvider::ImportData", 0};

}  // namespace

void IDatabaseProvider::ExportTable(IDatabaseExportWriter* writer, const std::wstring& table) {
    if (table == L"ms_jet_counter") return;
    writer->setAttribute(L"name", table);
    writer->startElement(L"table");
    RecordSetRef rows(queryForExport(L"select * from " + quoteIdentifier(table)));
    const int fields = rows->fieldCount();
    // Decoded once: every row repeats them.
    std::vector<std::wstring> names;
    for (int i = 0; i < fields; ++i) names.push_back(rows->fieldName(i));
    while (rows->next()) {
        writer->startElement(L"row");
        for (int i = 0; i < fields; ++i) {
            writer->setAttribute(L"name", names[i]);
            const bool null = rows->isNull(i, false);
            if (null) writer->setAttribute(L"isnull", L"true");
            writer->startElement(L"field");
            if (!null) writer->characters(rows->getString(i, std::wstring(), true));
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
