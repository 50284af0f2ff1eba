#include "database/jet_database_provider.h"

#include "config/product_configuration.h"
#include "database/ado_object.h"
#include "database/connection_string.h"
#include "database/statement_rewrite.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "threading/critical_section.h"

namespace {

constexpr ContextSite kConnectionStringSite{"JetDatabaseProvider::connectionString", 0};
constexpr ContextSite kConnectSite{"JetDatabaseProvider::connect", 0};
constexpr ContextSite kGetTablesSite{"JetDatabaseProvider::getTables", 0};
constexpr ContextSite kImportSchemaSite{"JetDatabaseProvider::ImportSchema", 0};
constexpr ContextSite kImportDataSite{"JetDatabaseProvider::ImportData", 0};

// The work directory's lock and override, alive for the whole process.
VCriticalSection& workLock() {
    static VCriticalSection* lock = new VCriticalSection();
    return *lock;
}
std::wstring& workOverride() {
    static std::wstring* directory = new std::wstring();
    return *directory;
}

}  // namespace

void JetDatabaseProvider::setWorkDirectory(const std::wstring& directory) {
    VCriticalSectionLock lock(workLock());
    workOverride() = directory;
}

std::wstring JetDatabaseProvider::workDirectory() {
    VCriticalSectionLock lock(workLock());
    if (!workOverride().empty()) return workOverride();
    return getAdminDir() + L"\\db";
}

int JetDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring&,
                                 const std::wstring&, int32_t port, const std::wstring& socket) {
    const std::wstring work = workDirectory();
    for (const wchar_t* name : {L"TEMP", L"TMP"})
        if (!::SetEnvironmentVariableW(name, work.c_str()))
            raiseOsError(L"Unable to set environment variable", ::GetLastError(), kConnectSite.entry());
    VADODatabaseProvider::connect(host, database, L"", L"", port, socket);
    connection().setProperty(L"Jet OLEDB:Transaction Commit Mode", 1);
    connection().setProperty(L"Jet OLEDB:Implicit Commit Sync", 1);
    return 0;
}

std::wstring JetDatabaseProvider::name() { return L"Jet"; }

std::wstring JetDatabaseProvider::connectionString(const std::wstring& host, const std::wstring& database) {
    if (!host.empty() && host != L"localhost")
        throw vexception(L"Jet support only local databases", kConnectionStringSite.entry());
    return L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source=" + connectionStringValue(database);
}

std::wstring JetDatabaseProvider::rewrite(const std::wstring& sql) { return rewriteStatement(sql, false); }

void JetDatabaseProvider::setIdentityInsertTable(const std::wstring&) {}

void JetDatabaseProvider::beginAutoTransaction(const std::wstring&) {}

void JetDatabaseProvider::endAutoTransaction() {}

void JetDatabaseProvider::setPassword(const std::wstring&, const std::wstring&, const std::wstring&) {}

uint64_t JetDatabaseProvider::nextId(const std::wstring&, const std::wstring&) {
    execute(L"insert into ms_jet_counter(val) values( 0 )");
    const uint64_t id = lastInsertId();
    execute(L"delete from ms_jet_counter");
    return id;
}

bool JetDatabaseProvider::tableExists(const std::wstring& table) {
    StringList tables;
    getTables(tables);
    for (const std::wstring& name : tables)
        if (::lstrcmpiW(name.c_str(), table.c_str()) == 0) return true;
    return false;
}

void JetDatabaseProvider::getTables(StringList& tables) {
    runWrapped(kGetTablesSite.entry(), [&] {
        ComPtr<_ADOCatalog> catalog = ado::create<_ADOCatalog>(L"ADOX.Catalog", ado::kCatalogIID, nullptr);
        const UniqueVariant active =
            UniqueVariant::fromString(L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source=" + connectionStringValue(database()));
        checkHResult(catalog->put_ActiveConnection(active.get()));
        ComPtr<ADOTables> list;
        checkHResult(catalog->get_Tables(list.put()));
        long count = 0;
        checkHResult(list->get_Count(&count));
        for (long i = 0; i < count; ++i) {
            // The collection hands out the coclass type; the object is a _Table.
            Table* item = nullptr;
            checkHResult(list->get_Item(UniqueVariant::fromLong(i).get(), &item));
            ComPtr<_ADOTable> table(reinterpret_cast<_ADOTable*>(item));
            UniqueBstr type, name;
            checkHResult(table->get_Type(type.put()));
            if (type.str() != L"TABLE") continue;
            checkHResult(table->get_Name(name.put()));
            tables.push_back(name.str());
        }
    });
}

void JetDatabaseProvider::ExportData(IDatabaseExportWriter* writer) {
    StringList tables;
    getTables(tables);
    for (const std::wstring& table : tables) ExportTable(writer, table);
}

void JetDatabaseProvider::ImportSchema(const std::wstring&, const std::wstring&, const std::wstring&,
                                       const std::wstring&, const std::wstring&, int32_t, const std::wstring&, bool,
                                       const std::wstring&, const std::wstring&) {
    throw vexception(L"Not implemented", kImportSchemaSite.entry());
}

void JetDatabaseProvider::ImportData(const std::wstring&, const std::wstring&, const std::wstring&,
                                     const std::wstring&, const std::wstring&, int32_t, const std::wstring&) {
    throw vexception(L"Not implemented", kImportDataSite.entry());
}
