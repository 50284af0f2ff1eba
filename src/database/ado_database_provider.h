// What the two ADO providers (MS SQL and Jet) share: one ADO connection
// (VADOConnection), its statements and record sets (VADORecordSetProvider),
// transactions counted by depth, and the connection's error text. The
// subclasses give the connection string and rewrite the statements' quoting
// before they reach the database. One thread at a time.
#pragma once

#include "database/ado_connection.h"
#include "database/database_provider.h"

class VADODatabaseProvider : public IDatabaseProvider {
public:
    explicit VADODatabaseProvider(SqlDialect dialect);
    VADODatabaseProvider(const VADODatabaseProvider&) = delete;
    VADODatabaseProvider& operator=(const VADODatabaseProvider&) = delete;

    // Keeps host, database, login and password, and opens the connection
    // with connectionString (host, database); port and socket are not used.
    // Any failure is raised as VDatabase::ConnectException carrying the
    // cause, with the context ("Unable to ADO conect with connection string:
    // " + the string, "VADODatabaseProvider::connect"). Returns 0.
    int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                const std::wstring& password, int32_t port, const std::wstring& socket) override;
    bool isConnected() override;
    // Always true.
    bool ping() override;
    void disconnect() override;
    // "1.0".
    std::wstring version() override;
    // Every apostrophe doubled, then every double quote.
    std::wstring escape(const std::wstring& text) override;
    // "use " + the database as one bracketed identifier.
    void use(const std::wstring& database) override;
    RecordSetRef query(const std::wstring& sql) override;
    // Runs the statement without records (options 128).
    void execute(const std::wstring& sql) override;
    // Runs both statements, in that order.
    void replace(const std::wstring& deleteSql, const std::wstring& insertSql) override;
    // "SELECT @@IDENTITY", read with _wtoi64; 0 without a row.
    uint64_t lastInsertId() override;
    // The depth changes only after the connection's call succeeded.
    int beginTransaction() override;
    int commit() override;
    int rollback() override;
    int transactionLevel() override;
    SqlDialect dialect() override { return connection_.dialect(); }
    std::wstring lastError() override;

    // The database's connection string for host and database.
    virtual std::wstring connectionString(const std::wstring& host, const std::wstring& database) = 0;

    VADOConnection& connection() { return connection_; }

protected:
    // The statement as the database wants it (every execute and query).
    virtual std::wstring rewrite(const std::wstring& sql) { return sql; }
    const std::wstring& database() const { return database_; }

private:
    VADOConnection connection_;
    int32_t transactionDepth_ = 0;
    std::wstring login_, database_, host_, password_;
};
