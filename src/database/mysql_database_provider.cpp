#include "database/mysql_database_provider.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "database/content_handler_wrapper.h"
#include "database/mysql_administration.h"
#include "database/mysql_data_importer.h"
#include "database/mysql_record_set.h"
#include "database/mysql_schema_importer.h"
#include "database/sql_identifier.h"
#include "database/statement_mask.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

#include <errmsg.h>
#include <mysql.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

constexpr ContextSite kConnectSite{"MySQLDatabaseProvider::connect", 0};
constexpr ContextSite kVersionSite{"MySQLDatabaseProvider::version", 0};
constexpr ContextSite kExecuteSite{"MySQLDatabaseProvider::execute", 0};
constexpr ContextSite kQuerySite{"MySQLDatabaseProvider::query", 0};
constexpr ContextSite kReplaceSite{"MySQLDatabaseProvider::replace", 0};
constexpr ContextSite kImportSchemaSite{"MySQLDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kImportDataSite{"MySQLDatabaseProvider::ImportData", 0};
constexpr ContextSite kLastInsertIdSite{"MySQLDatabaseProvider::lastInsertId", 0};

// The tables whose identifiers come from "ms_jet_counter", with their
// identifier columns.
constexpr const wchar_t* kCountedColumns[][2] = {
    {L"clients", L"pool_id"},  {L"ip_pool", L"id"},    {L"limits", L"id"},      {L"parameters", L"id"},
    {L"permissions", L"id"},   {L"repository", L"rep_id"}, {L"tmpldata", L"tmpl_id"}, {L"ms_jet_counter", L"id"},
};

constexpr DWORD kDefaultConnectTimeout = 120;
constexpr DWORD kMinimumConnectTimeout = 60;

// A null pointer for an empty text, as the client library expects for "none".
const char* noneWhenEmpty(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// The LIKE wildcards and the LIKE escape character taken literally.
std::wstring escapeLikePattern(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'_' || c == L'%') escaped += L'\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

int compareDottedVersions(const std::wstring& a, const std::wstring& b) {
    const wchar_t* left = a.c_str();
    const wchar_t* right = b.c_str();
    while (true) {
        wchar_t* leftEnd = nullptr;
        wchar_t* rightEnd = nullptr;
        const long leftNumber = std::wcstol(left, &leftEnd, 10);
        const long rightNumber = std::wcstol(right, &rightEnd, 10);
        if (leftNumber != rightNumber) return leftNumber < rightNumber ? -1 : 1;
        const bool leftGoesOn = *leftEnd == L'.';
        const bool rightGoesOn = *rightEnd == L'.';
        if (!leftGoesOn && !rightGoesOn) return 0;
        if (leftGoesOn != rightGoesOn) return leftGoesOn ? 1 : -1;
        left = leftEnd + 1;
        right = rightEnd + 1;
    }
}

bool serverTakesSetNames(const std::wstring& version) { return compareDottedVersions(version, L"4.1") >= 0; }

MySQLDatabaseProvider::~MySQLDatabaseProvider() { disconnect(); }

int MySQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                                   const std::wstring& password, int32_t port, const std::wstring& socket) {
    disconnect();
    connection_ = mysql_init(nullptr);
    ownsConnection_ = true;
    if (connection_ == nullptr) throw vexception(L"Insufficient memory to allocate new object", kConnectSite.entry());

    // A malformed value must not keep the product from its database: it
    // counts as missing.
    DWORD timeout = kDefaultConnectTimeout;
    product_config::readDword(L"MySQLConnectionTimeout", timeout);
    if (timeout < kMinimumConnectTimeout) timeout = kMinimumConnectTimeout;
    const unsigned int seconds = timeout;
    mysql_options(connection_, MYSQL_OPT_CONNECT_TIMEOUT, &seconds);

    // The server reads the login, the password and the database name of the
    // handshake in the character set the client announces there: UTF-8, the
    // form in which setPassword and every statement send their text.
    mysql_options(connection_, MYSQL_SET_CHARSET_NAME, "utf8");
    const std::string hostText = cstr(host, CP_UTF8), loginText = cstr(login, CP_UTF8);
    const std::string passwordText = cstr(password, CP_UTF8), databaseText = cstr(database, CP_UTF8);
    const std::string socketText = cstr(socket, CP_UTF8);
    if (mysql_real_connect(connection_, hostText.c_str(), loginText.c_str(), passwordText.c_str(),
                           noneWhenEmpty(databaseText), static_cast<unsigned>(port), noneWhenEmpty(socketText),
                           0) == nullptr) {
        const std::wstring error = lastError();
        disconnect();
        throw VDatabase::ConnectException(L"Failed to connect to database: " + error, kConnectSite.entry());
    }
    // The reconnect handler decides about reconnecting, never the library.
    const my_bool off = 0;
    mysql_options(connection_, MYSQL_OPT_RECONNECT, &off);
    // A session that cannot be set up is no connection.
    try {
        execute(L"SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
        if (serverTakesSetNames(version())) execute(L"SET NAMES 'utf8'");
    } catch (...) {
        disconnect();
        throw;
    }
    return 0;
}

bool MySQLDatabaseProvider::isConnected() { return connection_ != nullptr; }

bool MySQLDatabaseProvider::ping() { return connection_ != nullptr && mysql_ping(connection_) == 0; }

void MySQLDatabaseProvider::disconnect() {
    if (connection_ == nullptr) return;
    if (ownsConnection_) mysql_close(connection_);
    connection_ = nullptr;
}

std::wstring MySQLDatabaseProvider::version() {
    RecordSetRef rows(query(L"select version()"));
    if (!rows->next()) throw vexception(L"Unable to get MySQLDatabaseProvider version", kVersionSite.entry());
    return rows->getString(0, std::wstring(), false);
}

std::wstring MySQLDatabaseProvider::name() { return L"MySQL"; }

std::wstring MySQLDatabaseProvider::escape(const std::wstring& text) {
    if (connection_ == nullptr) {
        // Without a connection there is no character set to respect: the
        // plain escape is the best there is. It is done here, since the
        // client library's (mysql_escape_string) fails in a process that has
        // not set the library up yet.
        std::wstring escaped;
        for (wchar_t c : text) {
            switch (c) {
                case L'\0': escaped += L"\\0"; break;
                case L'\n': escaped += L"\\n"; break;
                case L'\r': escaped += L"\\r"; break;
                case L'\x1A': escaped += L"\\Z"; break;
                case L'\\':
                case L'\'':
                case L'"':
                    escaped += L'\\';
                    escaped += c;
                    break;
                default: escaped += c;
            }
        }
        return escaped;
    }
    const std::string bytes = cstr(text, CP_UTF8);
    std::vector<char> buffer(bytes.size() * 2 + 1);
    const unsigned long length = mysql_real_escape_string(connection_, buffer.data(), bytes.data(),
                                                          static_cast<unsigned long>(bytes.size()));
    return wstr(std::string(buffer.data(), length), CP_UTF8);
}

void MySQLDatabaseProvider::use(const std::wstring& database) { execute(L"USE " + quoteIdentifier(database)); }

unsigned MySQLDatabaseProvider::send(const std::wstring& sql, const wchar_t* reconnectLog) {
    const std::string bytes = cstr(sql, CP_UTF8);
    for (int attempt = 0;; ++attempt) {
        if (connection_ == nullptr) return CR_SERVER_GONE_ERROR;
        if (mysql_real_query(connection_, bytes.data(), static_cast<unsigned long>(bytes.size())) == 0) return 0;
        const unsigned error = mysql_errno(connection_);
        if ((error != CR_SERVER_LOST && error != CR_SERVER_GONE_ERROR) || attempt > 0 || reconnectHandler_ == nullptr)
            return error;
        LogManager::print(LogInfo, L"%s", reconnectLog);
        reconnectHandler_->reconnect(this);
    }
}

void MySQLDatabaseProvider::execute(const std::wstring& sql) {
    const std::wstring masked = maskPasswords(sql, SqlDialect::MySql);
    LogManager::print(LogInfo, L"MySQLDatabaseProvider Execute: %s", masked.c_str());
    const unsigned error = send(sql, L"MySQLDatabaseProvider::execute reconnect");
    if (error != 0)
        throw vexception(L"Can't execute " + masked + L": MySql error " + std::to_wstring(error) + L":" +
                             serverMessage(sql),
                         kExecuteSite.entry());
}

RecordSetRef MySQLDatabaseProvider::query(const std::wstring& sql) { return queryRows(sql, false); }

RecordSetRef MySQLDatabaseProvider::queryForExport(const std::wstring& sql) { return queryRows(sql, true); }

RecordSetRef MySQLDatabaseProvider::queryRows(const std::wstring& sql, bool streamed) {
    const std::wstring masked = maskPasswords(sql, SqlDialect::MySql);
    LogManager::print(LogInfo, L"MySQLDatabaseProvider Query: %s", masked.c_str());
    const unsigned error = send(sql, L"MySQLDatabaseProvider::query reconnect");
    if (error != 0)
        throw vexception(L"Can't query " + masked + L": MySQLDatabaseProvider error " + std::to_wstring(error) + L":" +
                             serverMessage(sql),
                         kQuerySite.entry());
    MYSQL_RES* result = streamed ? mysql_use_result(connection_) : mysql_store_result(connection_);
    if (result == nullptr)
        throw vexception(L"Can't get result for query " + masked + L" MySQLDatabaseProvider error " +
                             serverMessage(sql),
                         kQuerySite.entry());
    return makeRecordSet<VMySQLRecordSet>(result);
}

std::wstring MySQLDatabaseProvider::serverMessage(const std::wstring& sql) {
    return maskServerMessage(lastError(), sql, SqlDialect::MySql);
}

void MySQLDatabaseProvider::replace(const std::wstring&, const std::wstring& insertSql) {
    constexpr int kInsertLength = 6;
    if (insertSql.size() > kInsertLength) {
        const int compared = ::CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, insertSql.c_str(), kInsertLength,
                                              L"INSERT", kInsertLength);
        if (compared == 0)
            raiseOsError(format(L"Unable to compare strings (%s) with (%s)", insertSql.c_str(), L"INSERT"),
                         ::GetLastError(), kReplaceSite.entry());
        if (compared == CSTR_EQUAL) {
            execute(L"REPLACE" + insertSql.substr(kInsertLength));
            return;
        }
    }
    throw vexception(L"Can't execute replace(). Invalid INSERT request: " + maskPasswords(insertSql, SqlDialect::MySql),
                     kReplaceSite.entry());
}

void MySQLDatabaseProvider::setIdentityInsertTable(const std::wstring&) {}

uint64_t MySQLDatabaseProvider::lastInsertId() {
    if (connection_ == nullptr) throw vexception(L"Not connected", kLastInsertIdSite.entry());
    return mysql_insert_id(connection_);
}

int MySQLDatabaseProvider::beginTransaction() {
    execute(L"START TRANSACTION");
    ++transactionDepth_;
    return 0;
}

int MySQLDatabaseProvider::commit() {
    --transactionDepth_;
    execute(L"COMMIT");
    return 0;
}

int MySQLDatabaseProvider::rollback() {
    --transactionDepth_;
    execute(L"ROLLBACK");
    return 0;
}

void MySQLDatabaseProvider::beginAutoTransaction(const std::wstring&) {}

void MySQLDatabaseProvider::endAutoTransaction() {}

uint64_t MySQLDatabaseProvider::nextId(const std::wstring&, const std::wstring&) {
    execute(L"insert into ms_jet_counter(val) values( 0 )");
    const uint64_t id = lastInsertId();
    execute(L"delete from ms_jet_counter where id < " + std::to_wstring(id));
    return id;
}

bool MySQLDatabaseProvider::tableExists(const std::wstring& table) {
    RecordSetRef rows(query(L"show tables like '" + escape(escapeLikePattern(table)) + L"'"));
    return rows->next();
}

int MySQLDatabaseProvider::transactionLevel() { return transactionDepth_; }

std::wstring MySQLDatabaseProvider::lastError() {
    if (connection_ == nullptr) return L"Not connected";
    return wstr(mysql_error(connection_), CP_UTF8);
}

void MySQLDatabaseProvider::setPassword(const std::wstring& login, const std::wstring& newPassword,
                                        const std::wstring&) {
    execute(L"use mysql");
    execute(L"UPDATE user set Password=PASSWORD('" + escape(newPassword) + L"') WHERE User='" + escape(login) + L"'");
    execute(L"FLUSH PRIVILEGES");
}

void MySQLDatabaseProvider::getTables(StringList& tables) {
    RecordSetRef rows(query(L"show tables"));
    while (rows->next()) tables.push_back(rows->getString(0, std::wstring(), false));
}

void MySQLDatabaseProvider::ExportData(IDatabaseExportWriter* writer) {
    RecordSetRef rows(query(L"show tables"));
    while (rows->next()) ExportTable(writer, rows->getString(0, std::wstring(), false));
}

void MySQLDatabaseProvider::setReconnectHandler(IDatabaseReconnectHandler* handler) { reconnectHandler_ = handler; }

void MySQLDatabaseProvider::ImportSchema(const std::wstring& source, const std::wstring& host,
                                         const std::wstring& database, const std::wstring& login,
                                         const std::wstring& password, int32_t port, const std::wstring& socket,
                                         bool createDatabase, const std::wstring& adminLogin,
                                         const std::wstring& adminPassword) {
    if (!adminLogin.empty()) {
        MySQLAdministration admin(host, adminLogin, adminPassword, port);
        if (admin.userExists(login))
            throw vexception(format(L"User %s already exists", login.c_str()), kImportSchemaSite.entry());
        admin.grantAll(login, password, L"%");
    }
    connect(host, std::wstring(), login, password, port, socket);
    if (createDatabase) {
        if (adminLogin.empty()) execute(L"DROP DATABASE IF EXISTS " + quoteIdentifier(database));
        execute(L"CREATE DATABASE " + quoteIdentifier(database) + L" DEFAULT CHARSET=utf8;");
    }
    use(database);
    execute(L"DROP TABLE IF EXISTS `ms_jet_counter`");
    execute(L"CREATE TABLE ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, val int(10))");
    MySQLSchemaImporter importer(this, createDatabase, progress_);
    ContentHandlerWrapper::parseURL(&importer, source);
    reseedCounter();
}

void MySQLDatabaseProvider::ImportData(const std::wstring& source, const std::wstring& host,
                                       const std::wstring& database, const std::wstring& login,
                                       const std::wstring& password, int32_t port, const std::wstring& socket) {
    // No database at connect time: the login needs no access to any
    // database but its own.
    connect(host, std::wstring(), login, password, port, socket);
    use(database);
    MySQLDataImporter importer(this, progress_);
    try {
        ContentHandlerWrapper::parseURL(&importer, source);
    } catch (...) {
        // The rows before the stop stay; the stop's own error is the one
        // reported, a failed commit only logged.
        runWrappedLogged(LogError, kImportDataSite.entry(), [&] { importer.finish(); });
        throw;
    }
    importer.finish();
    reseedCounter();
}

void MySQLDatabaseProvider::reseedCounter() {
    uint64_t largest = 0;
    for (const auto& [table, column] : kCountedColumns) {
        try {
            RecordSetRef rows(query(L"select max(" + quoteIdentifier(column) + L") from " + quoteIdentifier(table)));
            if (rows->next()) largest = std::max<uint64_t>(largest, _wcstoui64(rows->getString(0, L"0", true).c_str(), nullptr, 10));
        } catch (const vexception&) {
            // A table this database does not have.
        }
    }
    execute(L"delete from ms_jet_counter");
    setIdentityInsertTable(L"ms_jet_counter");
    execute(L"insert into ms_jet_counter(`id`, `val`) values( " + std::to_wstring(largest + 1) + L", 0 )");
    setIdentityInsertTable(std::wstring());
}
