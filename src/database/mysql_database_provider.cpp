#include "database/mysql_database_provider.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "database/content_handler_wrapper.h"
#include "database/document_check.h"
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
#include <map>
#include <vector>

namespace {

constexpr ContextSite kConnectSite{"MySQLDatabaseProvider::connect", 0};
constexpr ContextSite kVersionSite{"MySQLDatabaseProvider::version", 0};
constexpr ContextSite kExecuteSite{"MySQLDatabaseProvider::execute", 0};
constexpr ContextSite kQuerySite{"MySQLDatabaseProvider::query", 0};
constexpr ContextSite kReplaceSite{"MySQLDatabaseProvider::replace", 0};
constexpr ContextSite kImportSchemaSite{"MySQLDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kImportDataSite{"MySQLDatabaseProvider::ImportData", 0};
constexpr ContextSite kExportDataSite{"MySQLDatabaseProvider::ExportData", 0};
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

std::wstring connectionCharset(const std::wstring& version) {
    return compareDottedVersions(version, L"5.5.3") >= 0 ? L"utf8mb4" : L"utf8";
}

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
    // form in which setPassword and every statement send their text; the
    // four-byte form, or the server would turn characters beyond the Basic
    // Multilingual Plane into "?". A server without it takes its default
    // here, and SET NAMES below gives it utf8.
    mysql_options(connection_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
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
        const std::wstring serverVersion = version();
        if (serverTakesSetNames(serverVersion)) execute(L"SET NAMES '" + connectionCharset(serverVersion) + L"'");
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
    return makeRecordSet<VMySQLRecordSet>(result, streamed ? connection_ : nullptr);
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
            raiseOsError(format(L"Unable to compare strings (%s) with (%s)",
                                maskPasswords(insertSql, SqlDialect::MySql).c_str(), L"INSERT"),
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
    // mysql.user is a view from MariaDB 10.4 on and has no Password column
    // from MySQL 5.7 on: there each account of the login is altered.
    const std::wstring serverVersion = version();
    const bool mariadb = serverVersion.find(L"MariaDB") != std::wstring::npos;
    if (compareDottedVersions(serverVersion, mariadb ? L"10.4" : L"5.7") < 0) {
        execute(L"UPDATE user set Password=PASSWORD('" + escape(newPassword) + L"') WHERE User='" + escape(login) +
                L"'");
    } else {
        std::vector<std::wstring> hosts;
        {
            RecordSetRef rows(query(L"SELECT Host FROM mysql.user WHERE User = '" + escape(login) + L"'"));
            while (rows->next()) hosts.push_back(rows->getString(0, std::wstring(), false));
        }
        const bool alterUser = mariadb || compareDottedVersions(serverVersion, L"5.7.6") >= 0;
        for (const auto& host : hosts) {
            const std::wstring account = L"'" + escape(login) + L"'@'" + escape(host) + L"'";
            execute(alterUser ? L"ALTER USER " + account + L" IDENTIFIED BY '" + escape(newPassword) + L"'"
                              : L"SET PASSWORD FOR " + account + L" = PASSWORD('" + escape(newPassword) + L"')");
        }
    }
    execute(L"FLUSH PRIVILEGES");
}

void MySQLDatabaseProvider::getTables(StringList& tables) {
    RecordSetRef rows(query(L"show tables"));
    while (rows->next()) tables.push_back(rows->getString(0, std::wstring(), false));
}

unsigned MySQLDatabaseProvider::lastErrorNumber() { return connection_ == nullptr ? 0 : mysql_errno(connection_); }

std::wstring MySQLDatabaseProvider::scalar(const std::wstring& sql, const std::wstring& fallback) {
    RecordSetRef rows(query(sql));
    return rows->next() ? rows->getString(0, fallback, false) : fallback;
}

std::vector<std::wstring> MySQLDatabaseProvider::generatedColumns(const std::wstring& table) {
    // EXTRA is "VIRTUAL GENERATED" or "STORED GENERATED" (MariaDB 10.2 and
    // MySQL 5.7 on), "VIRTUAL" or "PERSISTENT" before; MySQL 8's
    // "DEFAULT_GENERATED" is an ordinary column with an expression default.
    RecordSetRef rows(query(L"SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
                            L"AND TABLE_NAME = '" + escape(table) + L"' AND (EXTRA LIKE '%VIRTUAL%' OR EXTRA LIKE "
                            L"'%STORED GENERATED%' OR EXTRA LIKE '%PERSISTENT%') ORDER BY ORDINAL_POSITION"));
    std::vector<std::wstring> columns;
    while (rows->next()) columns.push_back(rows->getString(0, std::wstring(), false));
    return columns;
}

std::wstring MySQLDatabaseProvider::exportColumns(const std::wstring& table) {
    if (generatedColumns(table).empty()) return L"*";
    RecordSetRef rows(query(L"SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
                            L"AND TABLE_NAME = '" + escape(table) + L"' AND NOT (EXTRA LIKE '%VIRTUAL%' OR EXTRA "
                            L"LIKE '%STORED GENERATED%' OR EXTRA LIKE '%PERSISTENT%') ORDER BY ORDINAL_POSITION"));
    std::wstring columns;
    while (rows->next()) columns += (columns.empty() ? L"" : L",") + quoteIdentifier(rows->getString(0, L"", false));
    return columns;
}

void MySQLDatabaseProvider::ExportData(IDatabaseExportWriter* writer) {
    // Every TIMESTAMP in UTC, so that the backup restores to the same
    // instants on a server in another zone.
    const std::wstring zone = scalar(L"SELECT @@session.time_zone", L"SYSTEM");
    execute(L"SET time_zone = '+00:00'");
    // One snapshot for all tables: only this transaction is REPEATABLE READ,
    // the session keeps its level.
    execute(L"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ");
    execute(L"START TRANSACTION WITH CONSISTENT SNAPSHOT");
    try {
        StringList tables;
        {
            RecordSetRef rows(query(L"SHOW FULL TABLES WHERE Table_type = 'BASE TABLE'"));
            while (rows->next()) tables.push_back(rows->getString(0, std::wstring(), false));
        }
        exportZone_ = L"+00:00";
        for (const auto& table : tables) ExportTable(writer, table);
        exportZone_.clear();
    } catch (...) {
        exportZone_.clear();
        // The export's own error is the one reported.
        runWrappedLogged(LogWarning, kExportDataSite.entry(), [&] {
            execute(L"ROLLBACK");
            execute(L"SET time_zone = '" + escape(zone) + L"'");
        });
        throw;
    }
    execute(L"COMMIT");
    execute(L"SET time_zone = '" + escape(zone) + L"'");
}

void MySQLDatabaseProvider::setReconnectHandler(IDatabaseReconnectHandler* handler) { reconnectHandler_ = handler; }

void MySQLDatabaseProvider::ImportSchema(const std::wstring& source, const std::wstring& host,
                                         const std::wstring& database, const std::wstring& login,
                                         const std::wstring& password, int32_t port, const std::wstring& socket,
                                         bool createDatabase, const std::wstring& adminLogin,
                                         const std::wstring& adminPassword) {
    // Nothing is created, granted or dropped for a document that is not
    // a whole schema document.
    SaxDocument document(source);
    DocumentCheck(DocumentKind::Schema).run(document);
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
    document.parse(&importer);
    reseedCounter();
}

void MySQLDatabaseProvider::ImportData(const std::wstring& source, const std::wstring& host,
                                       const std::wstring& database, const std::wstring& login,
                                       const std::wstring& password, int32_t port, const std::wstring& socket) {
    // The whole document is read once before anything is emptied.
    SaxDocument document(source);
    DocumentCheck check(DocumentKind::Data);
    check.run(document);
    // No database at connect time: the login needs no access to any
    // database but its own.
    connect(host, std::wstring(), login, password, port, socket);
    use(database);
    prepareRestoreSession();
    checkRestoreTables(check.tables());
    MySQLDataImporter importer(this, progress_);
    try {
        document.parse(&importer);
    } catch (...) {
        // The table the stop fell into goes back to what it held; the stop's
        // own error is the one reported, a failed rollback only logged.
        runWrappedLogged(LogError, kImportDataSite.entry(), [&] { importer.abandon(); });
        throw;
    }
    importer.finish();
    reseedCounter();
}

void MySQLDatabaseProvider::prepareRestoreSession() {
    // What a dump sets for its restore: an AUTO_INCREMENT value of 0 stays
    // 0, zero dates go in even where the server's mode refuses them (strict
    // mode stays as it is), and emptying a parent table neither fails nor
    // cascades into a child table restored before it.
    std::wstring mode;
    size_t start = 0;
    const std::wstring current = scalar(L"SELECT @@session.sql_mode", std::wstring());
    while (start <= current.size()) {
        size_t end = current.find(L',', start);
        if (end == std::wstring::npos) end = current.size();
        const std::wstring part = current.substr(start, end - start);
        if (!part.empty() && part != L"NO_ZERO_DATE" && part != L"NO_ZERO_IN_DATE" && part != L"NO_AUTO_VALUE_ON_ZERO")
            mode += part + L",";
        start = end + 1;
    }
    execute(L"SET SESSION sql_mode = '" + escape(mode + L"NO_AUTO_VALUE_ON_ZERO") + L"'");
    execute(L"SET SESSION FOREIGN_KEY_CHECKS = 0");
}

void MySQLDatabaseProvider::checkRestoreTables(const std::vector<std::wstring>& tables) {
    struct Table {
        std::wstring type, engine, transactions;
    };
    std::map<std::wstring, Table> found, foundNoCase;
    {
        RecordSetRef rows(query(
            L"SELECT t.TABLE_NAME, t.TABLE_TYPE, t.ENGINE, e.TRANSACTIONS FROM information_schema.TABLES t "
            L"LEFT JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE WHERE t.TABLE_SCHEMA = DATABASE()"));
        while (rows->next()) {
            std::wstring name = rows->getString(0, L"", false);
            const Table table{rows->getString(1, L"", false), rows->getString(2, L"", false),
                              rows->getString(3, L"", false)};
            found[name] = table;
            ::CharLowerBuffW(name.data(), static_cast<DWORD>(name.size()));
            foundNoCase[name] = table;
        }
    }
    std::wstring missing, views;
    for (const auto& name : tables) {
        auto table = found.find(name);
        if (table == found.end()) {
            // A server on Windows keeps its table names in lower case.
            std::wstring lower = name;
            ::CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
            table = foundNoCase.find(lower);
            if (table == foundNoCase.end()) {
                missing += (missing.empty() ? L"'" : L", '") + name + L"'";
                continue;
            }
        }
        if (table->second.type != L"BASE TABLE") {
            views += (views.empty() ? L"'" : L", '") + name + L"'";
            continue;
        }
        if (table->second.transactions != L"YES") {
            const std::wstring text = L"Table '" + name + L"' cannot be rolled back if the import stops inside it: " +
                                      L"its engine, " + table->second.engine + L", has no transactions";
            LogManager::print(LogInfo, L"%s", text.c_str());
            if (progress_ != nullptr) progress_->warning(text);
        }
    }
    if (!missing.empty() || !views.empty()) {
        std::wstring text = L"The document cannot be imported into database '" + scalar(L"SELECT DATABASE()", L"") +
                            L"', and nothing was changed:";
        if (!missing.empty()) text += L" it has no table " + missing + L";";
        if (!views.empty()) text += L" " + views + L" is a view, not a table;";
        text.back() = L'.';
        throw vexception(text, kImportDataSite.entry());
    }
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
