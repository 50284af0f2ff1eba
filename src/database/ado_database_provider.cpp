#include "database/ado_database_provider.h"

#include "database/ado_object.h"
#include "database/ado_record_set.h"
#include "database/sql_identifier.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

#include <cstdlib>

namespace {

constexpr ContextSite kConnectSite{"VADODatabaseProvider::connect", 0};

std::wstring doubled(std::wstring text, wchar_t quote) {
    for (size_t at = text.find(quote); at != std::wstring::npos; at = text.find(quote, at + 2)) text.insert(at, 1, quote);
    return text;
}

}  // namespace

VADODatabaseProvider::VADODatabaseProvider(SqlDialect dialect) : connection_(dialect) {}

int VADODatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                                  const std::wstring& password, int32_t, const std::wstring&) {
    login_ = login;
    database_ = database;
    host_ = host;
    password_ = password;
    std::wstring text;
    try {
        runWrapped(
            [&] { return kConnectSite.entry(format(L"Unable to ADO conect with connection string: %s", text.c_str())); },
            [&] {
                text = connectionString(host, database);
                connection_.open(text, login, password, ado::kConnectUnspecified, ado::kModeReadWrite);
            });
    } catch (const vexception& error) {
        throw VDatabase::ConnectException(error);
    }
    return 0;
}

bool VADODatabaseProvider::isConnected() { return connection_.isOpen(); }

bool VADODatabaseProvider::ping() { return true; }

void VADODatabaseProvider::disconnect() { connection_.close(); }

std::wstring VADODatabaseProvider::version() { return L"1.0"; }

std::wstring VADODatabaseProvider::escape(const std::wstring& text) { return doubled(doubled(text, L'\''), L'"'); }

void VADODatabaseProvider::use(const std::wstring& database) { execute(L"use " + bracketIdentifier(database)); }

RecordSetRef VADODatabaseProvider::query(const std::wstring& sql) {
    return VADORecordSetProvider::open(connection_, rewrite(sql));
}

void VADODatabaseProvider::execute(const std::wstring& sql) { connection_.execute(rewrite(sql), ado::kExecuteNoRecords); }

void VADODatabaseProvider::replace(const std::wstring& deleteSql, const std::wstring& insertSql) {
    execute(deleteSql);
    execute(insertSql);
}

uint64_t VADODatabaseProvider::lastInsertId() {
    RecordSetRef rows(query(L"SELECT @@IDENTITY"));
    if (!rows->next()) return 0;
    return static_cast<uint64_t>(_wtoi64(rows->getString(0, L"0", false).c_str()));
}

int VADODatabaseProvider::beginTransaction() {
    connection_.beginTransaction();
    ++transactionDepth_;
    return 0;
}

int VADODatabaseProvider::commit() {
    connection_.commitTransaction();
    --transactionDepth_;
    return 0;
}

int VADODatabaseProvider::rollback() {
    connection_.rollbackTransaction();
    --transactionDepth_;
    return 0;
}

int VADODatabaseProvider::transactionLevel() { return transactionDepth_; }

std::wstring VADODatabaseProvider::lastError() { return connection_.lastError(); }
