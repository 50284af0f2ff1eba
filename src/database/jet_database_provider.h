// Local Microsoft Access databases through ADO and Microsoft.Jet.OLEDB.4.0.
// Quoting is rewritten for Jet: strings as '...', identifiers as [...]. The
// table list comes from an ADOX catalogue.
#pragma once

#include "database/ado_database_provider.h"

class JetDatabaseProvider : public VADODatabaseProvider {
public:
    JetDatabaseProvider() : VADODatabaseProvider(SqlDialect::Jet) {}
    // The folder Jet works in (TEMP and TMP while connecting): the override
    // when one is set, otherwise the product's admin folder joined with "db".
    // Process-wide, under a lock. An empty override removes it.
    static void setWorkDirectory(const std::wstring& directory);
    static std::wstring workDirectory();

    // Sets TEMP and TMP of the process to the work directory (failure:
    // vosexception "Unable to set environment variable"), connects with an
    // empty login and password, and sets the connection properties "Jet
    // OLEDB:Transaction Commit Mode" and "Jet OLEDB:Implicit Commit Sync" to 1.
    int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                const std::wstring& password, int32_t port, const std::wstring& socket) override;
    std::wstring name() override;
    // Nothing to do for Jet.
    void setIdentityInsertTable(const std::wstring& table) override;
    void beginAutoTransaction(const std::wstring& unused) override;
    void endAutoTransaction() override;
    void setPassword(const std::wstring& login, const std::wstring& newPassword,
                     const std::wstring& oldPassword) override;
    // A row of "ms_jet_counter" inserted and its identity taken; the table is
    // emptied again. Both arguments are ignored.
    uint64_t nextId(const std::wstring& table, const std::wstring& column) override;
    // Whether getTables lists the table.
    bool tableExists(const std::wstring& table) override;
    // The catalogue's tables of type "TABLE". COM failures are raised in
    // context "JetDatabaseProvider::getTables".
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

    // "Provider='Microsoft.Jet.OLEDB.4.0';Data Source=" + the database file
    // as connectionStringValue writes it.
    // Raises "Jet support only local databases" for a host other than "" and
    // "localhost".
    std::wstring connectionString(const std::wstring& host, const std::wstring& database) override;

protected:
    std::wstring rewrite(const std::wstring& sql) override;
};
