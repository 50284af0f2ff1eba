// Microsoft SQL Server through ADO and the OLE DB provider SQLOLEDB. Quoting
// is rewritten for SQL Server: strings as N'...', identifiers as [...].
#pragma once

#include "database/ado_database_provider.h"

// The network library for `host`: only for "localhost" and "127.0.0.1" (any
// case), from the multi-string "ProtocolList" of HKLM
// "SOFTWARE\Microsoft\MSSQLServer\MSSQLServer\SuperSocketNetLib" (32-bit
// view): the first entry "sm" gives "dbmsrpcn", the first "np" "dbnmpntw",
// other entries are skipped. Empty for none.
std::wstring mssqlNetworkLibrary(const std::wstring& host);

class MSSQLDatabaseProvider : public VADODatabaseProvider {
public:
    MSSQLDatabaseProvider() : VADODatabaseProvider(SqlDialect::TransactSql) {}
    // Chooses the network library; when one was chosen and the connection
    // fails, connects once more without it. Then "SET DATEFORMAT ymd" and
    // "SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED".
    int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                const std::wstring& password, int32_t port, const std::wstring& socket) override;
    std::wstring name() override;
    // Turns the explicit-identity-insert switch off for the table that has it
    // and on for `table` (none when empty).
    void setIdentityInsertTable(const std::wstring& table) override;
    // Starts a transaction when none is open, and commits it at the end.
    void beginAutoTransaction(const std::wstring& unused) override;
    void endAutoTransaction() override;
    // The column's maximum + 1, under a table lock; 1 for an empty table.
    uint64_t nextId(const std::wstring& table, const std::wstring& column) override;
    bool tableExists(const std::wstring& table) override;
    // Changes the password of the connection's own login; `login` is not used.
    void setPassword(const std::wstring& login, const std::wstring& newPassword,
                     const std::wstring& oldPassword) override;
    void getTables(StringList& tables) override;
    void ExportData(IDatabaseExportWriter* writer) override;
    // "Not implemented".
    void ImportSchema(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                      const std::wstring& login, const std::wstring& password, int32_t port,
                      const std::wstring& socket, bool createDatabase, const std::wstring& adminLogin,
                      const std::wstring& adminPassword) override;
    void ImportData(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                    const std::wstring& login, const std::wstring& password, int32_t port,
                    const std::wstring& socket) override;

    // "Provider=SQLOLEDB.1;Initial Catalog=" + (database or "master") +
    // ";Data Source=" + host, and ";Network Library=" + the chosen library;
    // each value as connectionStringValue writes it.
    std::wstring connectionString(const std::wstring& host, const std::wstring& database) override;

    const std::wstring& networkLibrary() const { return networkLibrary_; }

protected:
    std::wstring rewrite(const std::wstring& sql) override;

private:
    std::wstring identityInsertTable_;
    bool autoTransaction_ = false;
    std::wstring networkLibrary_;
};
