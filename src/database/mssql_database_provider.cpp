#include "database/mssql_database_provider.h"

#include "config/registry.h"
#include "database/connection_string.h"
#include "database/sql_identifier.h"
#include "database/statement_rewrite.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"

#include <cstdlib>

namespace {

constexpr ContextSite kImportSchemaSite{"MSSQLDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kImportDataSite{"MSSQLDatabaseProvider::ImportData", 0};

constexpr const wchar_t* kNetLibKey = L"SOFTWARE\\Microsoft\\MSSQLServer\\MSSQLServer\\SuperSocketNetLib";
constexpr const wchar_t* kTablesQuery =
    L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = 'dbo'and TABLE_TYPE = 'BASE TABLE' "
    L"and NOT TABLE_NAME = 'dtproperties' ";

}  // namespace

std::wstring mssqlNetworkLibrary(const std::wstring& host) {
    if (::lstrcmpiW(host.c_str(), L"localhost") != 0 && ::lstrcmpiW(host.c_str(), L"127.0.0.1") != 0) return {};
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, kNetLibKey, registry::View32)) return {};
    registry::StringList protocols;
    if (registry::lookup(HKEY_LOCAL_MACHINE, kNetLibKey, L"ProtocolList", protocols, registry::View32) != 0) return {};
    for (const std::wstring& protocol : protocols) {
        if (protocol == L"sm") return L"dbmsrpcn";
        if (protocol == L"np") return L"dbnmpntw";
    }
    return {};
}

int MSSQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                                   const std::wstring& password, int32_t port, const std::wstring& socket) {
    networkLibrary_ = mssqlNetworkLibrary(host);
    if (networkLibrary_.empty()) {
        VADODatabaseProvider::connect(host, database, login, password, port, socket);
    } else {
        try {
            VADODatabaseProvider::connect(host, database, login, password, port, socket);
        } catch (const vexception&) {
            networkLibrary_.clear();
            VADODatabaseProvider::connect(host, database, login, password, port, socket);
        }
    }
    execute(L"SET DATEFORMAT ymd");
    execute(L"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
    return 0;
}

std::wstring MSSQLDatabaseProvider::name() { return L"MSSQL"; }

std::wstring MSSQLDatabaseProvider::connectionString(const std::wstring& host, const std::wstring& database) {
    std::wstring text = L"Provider=SQLOLEDB.1;Initial Catalog=" +
                        connectionStringValue(database.empty() ? L"master" : database) +
                        L";Data Source=" + connectionStringValue(host);
    if (!networkLibrary_.empty()) text += L";Network Library=" + networkLibrary_;
    return text;
}

std::wstring MSSQLDatabaseProvider::rewrite(const std::wstring& sql) { return rewriteStatement(sql, true); }

void MSSQLDatabaseProvider::setIdentityInsertTable(const std::wstring& table) {
    if (!identityInsertTable_.empty())
        execute(L"set IDENTITY_INSERT " + bracketIdentifier(identityInsertTable_) + L" OFF");
    identityInsertTable_ = table;
    if (!table.empty()) execute(L"set IDENTITY_INSERT " + bracketIdentifier(table) + L" ON");
}

void MSSQLDatabaseProvider::beginAutoTransaction(const std::wstring&) {
    if (transactionLevel() != 0) return;
    autoTransaction_ = true;
    beginTransaction();
}

void MSSQLDatabaseProvider::endAutoTransaction() {
    if (!autoTransaction_) return;
    autoTransaction_ = false;
    commit();
}

uint64_t MSSQLDatabaseProvider::nextId(const std::wstring& table, const std::wstring& column) {
    RecordSetRef rows(query(L"select max(" + bracketIdentifier(column) + L") from " + bracketIdentifier(table) +
                            L" with (TABLOCK)"));
    if (!rows->next()) return 1;
    return static_cast<uint64_t>(_wtoi64(rows->getString(0, L"0", false).c_str())) + 1;
}

bool MSSQLDatabaseProvider::tableExists(const std::wstring& table) {
    RecordSetRef rows(query(L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = 'dbo'and "
                            L"TABLE_TYPE = 'BASE TABLE' and TABLE_NAME = '" +
                            escape(table) + L"' "));
    return rows->next();
}

void MSSQLDatabaseProvider::setPassword(const std::wstring&, const std::wstring& newPassword,
                                        const std::wstring& oldPassword) {
    execute(format(L"SP_PASSWORD '%s', '%s'", escape(oldPassword).c_str(), escape(newPassword).c_str()));
}

void MSSQLDatabaseProvider::getTables(StringList& tables) {
    RecordSetRef rows(query(kTablesQuery));
    while (rows->next()) tables.push_back(rows->getString(0, std::wstring(), false));
}

void MSSQLDatabaseProvider::ExportData(IDatabaseExportWriter* writer) {
    RecordSetRef rows(query(kTablesQuery));
    while (rows->next()) ExportTable(writer, rows->getString(0, std::wstring(), false));
}

void MSSQLDatabaseProvider::ImportSchema(const std::wstring&, const std::wstring&, const std::wstring&,
                                         const std::wstring&, const std::wstring&, int32_t, const std::wstring&, bool,
                                         const std::wstring&, const std::wstring&) {
    throw vexception(L"Not implemented", kImportSchemaSite.entry());
}

void MSSQLDatabaseProvider::ImportData(const std::wstring&, const std::wstring&, const std::wstring&,
                                       const std::wstring&, const std::wstring&, int32_t, const std::wstring&) {
    throw vexception(L"Not implemented", kImportDataSite.entry());
}
