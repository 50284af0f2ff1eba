// The MySQL/MariaDB provider: one connection of the MariaDB client library.
// Statements go out in UTF-8 and results come back decoded from it; the
// connection parameters are passed in UTF-8 too. Every statement is
// logged at level Info with its passwords hidden (maskPasswords). A lost
// connection (client errors 2006 and 2013) is retried once, and only when a
// reconnect handler is set. Identity values come from the table
// "ms_jet_counter". One thread at a time; nothing is locked.
#pragma once

#include "database/database_provider.h"

#include <vector>

struct st_mysql;

// Compares two dotted versions ("10.1.9-MariaDB", "4.1") number by number:
// -1, 0 or 1. Each number is read the way wcstol reads it (no digits reads 0);
// when all numbers so far are equal, a version that continues with "." is
// the greater one. So 4.1.0 is greater than 4.1.
int compareDottedVersions(const std::wstring& a, const std::wstring& b);

// Whether a server of `version` is told "SET NAMES" (4.1 and later).
bool serverTakesSetNames(const std::wstring& version);
// The character set a session with a server of `version` uses: "utf8mb4"
// (every character) from 5.5.3 on, "utf8" before.
std::wstring connectionCharset(const std::wstring& version);

class MySQLDatabaseProvider : public IDatabaseProvider {
public:
    MySQLDatabaseProvider() = default;
    ~MySQLDatabaseProvider() override;
    MySQLDatabaseProvider(const MySQLDatabaseProvider&) = delete;
    MySQLDatabaseProvider& operator=(const MySQLDatabaseProvider&) = delete;

    // Disconnects first. The connect timeout is the DWORD
    // "MySQLConnectionTimeout" of the product configuration key (seconds,
    // 120 when absent, at least 60). After connecting: no automatic
    // reconnect by the client library, isolation level READ UNCOMMITTED, and
    // "SET NAMES" with connectionCharset for servers from 4.1 on (the
    // handshake already announces utf8mb4). Raises
    // VDatabase::ConnectException "Failed to connect to database: " + the
    // client library's text; the provider is then disconnected, as it is
    // when setting up the session fails (whose error propagates).
    int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                const std::wstring& password, int32_t port, const std::wstring& socket) override;
    bool isConnected() override;
    bool ping() override;
    void disconnect() override;
    // "select version()". Raises "Unable to get MySQLDatabaseProvider version".
    std::wstring version() override;
    std::wstring name() override;
    SqlDialect dialect() override { return SqlDialect::MySql; }
    std::wstring escape(const std::wstring& text) override;
    void use(const std::wstring& database) override;
    // Raises "Can't query ..." when the statement fails and "Can't get result
    // for query ..." when it returns no result set.
    RecordSetRef query(const std::wstring& sql) override;
    // Raises "Can't execute <masked statement>: MySql error N:<text>".
    void execute(const std::wstring& sql) override;
    // Sends the insert as a REPLACE; the delete statement is not used. Raises
    // "Can't execute replace(). Invalid INSERT request: " + insert for any
    // statement that does not begin with INSERT.
    void replace(const std::wstring& deleteSql, const std::wstring& insertSql) override;
    void setIdentityInsertTable(const std::wstring& table) override;
    // Raises "Not connected" without a connection.
    uint64_t lastInsertId() override;
    int beginTransaction() override;
    int commit() override;
    int rollback() override;
    void beginAutoTransaction(const std::wstring& unused) override;
    void endAutoTransaction() override;
    // Both arguments are ignored: one counter serves every table.
    uint64_t nextId(const std::wstring& table, const std::wstring& column) override;
    bool tableExists(const std::wstring& table) override;
    int transactionLevel() override;
    std::wstring lastError() override;
    // Sets the password of `login` (every host it has an account for) in the
    // "mysql" database (which stays the current one): by updating mysql.user
    // before MariaDB 10.4 and MySQL 5.7, with ALTER USER (SET PASSWORD before
    // MySQL 5.7.6) from then on. The old password is not used.
    void setPassword(const std::wstring& login, const std::wstring& newPassword,
                     const std::wstring& oldPassword) override;
    void getTables(StringList& tables) override;
    // The base tables (no views) of the current database, read in one
    // consistent snapshot (REPEATABLE READ, START TRANSACTION WITH
    // CONSISTENT SNAPSHOT): every table as it was at the same moment, with
    // only committed rows. TIMESTAMP values are read in UTC, and each
    // "table" element says so with time_zone="+00:00". The session's time
    // zone is put back afterwards; its isolation level is untouched.
    void ExportData(IDatabaseExportWriter* writer) override;
    // With an administrator login: creates `login` (any client host) with
    // every privilege over the administrator's own connection, raising
    // "User %s already exists" when a user of that name exists. Then
    // connects as `login` (no database), drops (only without an
    // administrator login) and creates the database when `createDatabase`
    // is set, recreates "ms_jet_counter", creates the document's tables
    // (dropping each first unless the database was just created) and
    // reseeds the counter. A failing statement stops the import with its
    // error text.
    void ImportSchema(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                      const std::wstring& login, const std::wstring& password, int32_t port,
                      const std::wstring& socket, bool createDatabase, const std::wstring& adminLogin,
                      const std::wstring& adminPassword) override;
    // Checks the whole document first (DocumentCheck), then connects as
    // `login` to `database` and refuses a document naming a table that is
    // missing or a view; says (through the progress and the log) which
    // tables cannot be rolled back, their engine having no transactions.
    // Then empties each table of the document and inserts its rows (a
    // failing row is logged and skipped), each table in one transaction that
    // a stop rolls back, and reseeds the counter. The session is the one a
    // restore needs: NO_AUTO_VALUE_ON_ZERO, zero dates accepted (strict mode
    // stays as it is), no foreign key checks.
    void ImportData(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                    const std::wstring& login, const std::wstring& password, int32_t port,
                    const std::wstring& socket) override;
    void setReconnectHandler(IDatabaseReconnectHandler* handler) override;
    // Told of each table the imports finish; null (the default) for none.
    void setProgress(IDatabaseProgress* progress) { progress_ = progress; }

    // The server's number of the last statement's error; 0 for none or
    // without a connection.
    virtual unsigned lastErrorNumber();
    // The columns of `table` in the current database whose values the server
    // computes (virtual, stored or persistent generated columns).
    std::vector<std::wstring> generatedColumns(const std::wstring& table);

    // Sets "ms_jet_counter" above the largest identifier of the tables
    // whose identifiers it hands out, so that nextId returns a fresh one.
    void reseedCounter();

    // The client library's connection handle; null while disconnected.
    st_mysql* handle() const { return connection_; }

protected:
    // The rows as the server sends them (mysql_use_result): the record set
    // holds one row at a time, and its rowCount is the number read so far.
    RecordSetRef queryForExport(const std::wstring& sql) override;
    // Every column but the generated ones.
    std::wstring exportColumns(const std::wstring& table) override;
    // "+00:00" while ExportData runs, which reads in UTC; none otherwise.
    std::wstring exportTimeZone() override { return exportZone_; }

private:
    RecordSetRef queryRows(const std::wstring& sql, bool streamed);
    // Sends the statement, retrying once through the reconnect handler after
    // a lost connection. Returns the client library's error number, 0 on
    // success.
    unsigned send(const std::wstring& sql, const wchar_t* reconnectLog);
    // lastError() about the failed `sql`, its passwords hidden: a server
    // repeats the statement where a syntax error stops it.
    std::wstring serverMessage(const std::wstring& sql);
    // The first value of the first row of `sql`; `fallback` for none.
    std::wstring scalar(const std::wstring& sql, const std::wstring& fallback);
    // The session settings of a restore (see ImportData).
    void prepareRestoreSession();
    // Refuses tables of `tables` that are missing or views, and names those
    // that cannot be rolled back.
    void checkRestoreTables(const std::vector<std::wstring>& tables);

    IDatabaseReconnectHandler* reconnectHandler_ = nullptr;
    IDatabaseProgress* progress_ = nullptr;
    st_mysql* connection_ = nullptr;
    bool ownsConnection_ = true;
    int32_t transactionDepth_ = 0;
    std::wstring exportZone_;
};
