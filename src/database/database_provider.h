// The one way the program talks to a database: a provider (one connection)
// and the record sets its queries return. Every text crosses these
// interfaces as a wide string; failures are vexceptions, a refused
// connection a VDatabase::ConnectException.
#pragma once

#include "database/sql_dialect.h"

#include <cstdint>
#include <list>
#include <string>
#include <utility>

class IDatabaseProvider;

// The XML writer of the data export: attributes are set for the next
// element that is started.
class IDatabaseExportWriter {
public:
    virtual ~IDatabaseExportWriter() = default;
    virtual void setAttribute(const std::wstring& name, const std::wstring& value) = 0;
    virtual void startElement(const std::wstring& name) = 0;
    virtual void characters(const std::wstring& text) = 0;
    virtual void endElement(const std::wstring& name) = 0;
};

// Hears of each table an import has finished: its name and the number of
// rows inserted into it (0 for a table created from a schema); and, while
// a data import runs, of each table it begins and each row it has handled.
class IDatabaseProgress {
public:
    virtual ~IDatabaseProgress() = default;
    virtual void tableStarted(const std::wstring& table) { (void)table; }
    // A row was handled: inserted, or (`failed`) logged and skipped.
    virtual void rowDone(bool failed) { (void)failed; }
    virtual void tableDone(const std::wstring& table, uint64_t rows) = 0;
    // Something the person running the import should know before it
    // starts (a table that cannot be rolled back, and why).
    virtual void warning(const std::wstring& text) { (void)text; }
    // Hears, before tableDone, of a table some of whose rows could not be
    // imported, with their number.
    virtual void rowsFailed(const std::wstring& table, uint64_t rows);
};

// Re-establishes a provider's connection after the server went away. Not
// owned by the provider it is given to.
class IDatabaseReconnectHandler {
public:
    virtual ~IDatabaseReconnectHandler() = default;
    // Raises when the connection cannot be re-established.
    virtual void reconnect(IDatabaseProvider* provider) = 0;
};

// The rows of one query result, reference counted: made by makeRecordSet and
// held by RecordSetRef, whose last copy's release destroys it. Release every record set before its
// provider is destroyed. Values are read from the current row: call `next`
// first and pass indexes below fieldCount.
class IDatabaseRecordSet {
public:
    // Makes the next row current; false when there is none. After query,
    // moveFirst or moveLast the first call yields the row positioned on.
    virtual bool next() = 0;
    virtual bool moveFirst() = 0;
    virtual bool moveLast() = 0;
    virtual int fieldCount() = 0;
    // Zero-based index of the column with exactly this name; -1 when absent.
    virtual int fieldIndex(const std::wstring& name) = 0;
    virtual bool hasField(const std::wstring& name) = 0;
    virtual std::wstring fieldName(int index) = 0;
    // SQL NULL, or an empty value when `emptyIsNull`.
    virtual bool isNull(int index, bool emptyIsNull) = 0;
    // An empty value; `valueForNull` for SQL NULL.
    virtual bool isEmpty(int index, bool valueForNull) = 0;
    // The value as text, or `defaultText` when getValue yields nothing.
    virtual std::wstring getString(int index, const std::wstring& defaultText, bool emptyIsNull) = 0;
    // False, with `text` untouched, when isNull(index, emptyIsNull);
    // otherwise the value in `text` and true.
    virtual bool getValue(int index, std::wstring& text, bool emptyIsNull) = 0;
    virtual uint64_t rowCount() = 0;
    // Whether the current row's value is a byte string (a binary column)
    // rather than text. False unless a record set tells the two apart.
    virtual bool isBinary(int index);
    // False, with `bytes` untouched, for SQL NULL; otherwise the value exactly
    // as the database holds it (text as UTF-8) in `bytes` and true.
    virtual bool getBytes(int index, std::string& bytes);
    virtual void addRef() = 0;
    virtual void release() = 0;

protected:
    virtual ~IDatabaseRecordSet() = default;
};

// The reference count every record set shares.
class DatabaseRecordSetBase : public IDatabaseRecordSet {
public:
    void addRef() override { ++references_; }
    void release() override {
        if (--references_ <= 0) delete this;
    }

private:
    int32_t references_ = 0;
};

// The owner of one reference to a record set, released at the end of its
// scope; movable. Every record set travels in one (`query` returns it).
class RecordSetRef {
public:
    RecordSetRef() noexcept = default;
    // Takes one more reference to `records` (null: none).
    static RecordSetRef share(IDatabaseRecordSet* records) noexcept {
        RecordSetRef owner;
        owner.records_ = records;
        if (records) records->addRef();
        return owner;
    }
    RecordSetRef(RecordSetRef&& other) noexcept : records_(std::exchange(other.records_, nullptr)) {}
    RecordSetRef& operator=(RecordSetRef&& other) noexcept {
        if (this != &other) {
            reset();
            records_ = std::exchange(other.records_, nullptr);
        }
        return *this;
    }
    RecordSetRef(const RecordSetRef&) = delete;
    RecordSetRef& operator=(const RecordSetRef&) = delete;
    ~RecordSetRef() { reset(); }

    // Releases the reference held (if any).
    void reset() noexcept {
        if (IDatabaseRecordSet* records = std::exchange(records_, nullptr)) records->release();
    }
    IDatabaseRecordSet* operator->() const noexcept { return records_; }
    IDatabaseRecordSet* get() const noexcept { return records_; }
    explicit operator bool() const noexcept { return records_ != nullptr; }

private:
    IDatabaseRecordSet* records_ = nullptr;
};

// A new record set of type RecordSet, built from `args`, in its owner.
template <class RecordSet, class... Args>
RecordSetRef makeRecordSet(Args&&... args) {
    return RecordSetRef::share(new RecordSet(std::forward<Args>(args)...));
}

// One database connection. Providers are heap objects owned by their
// creator; destroying one closes its connection.
class IDatabaseProvider {
public:
    using StringList = std::list<std::wstring>;

    virtual ~IDatabaseProvider() = default;
    // Opens the connection (an empty database or socket means none).
    // Raises VDatabase::ConnectException when the server refuses. Returns 0.
    virtual int connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                        const std::wstring& password, int32_t port, const std::wstring& socket) = 0;
    virtual bool isConnected() = 0;
    virtual bool ping() = 0;
    virtual void disconnect() = 0;
    virtual std::wstring version() = 0;
    virtual std::wstring name() = 0;
    // The quoting rules of the statements this provider is given.
    virtual SqlDialect dialect() = 0;
    // The text made safe for a quoted SQL literal.
    virtual std::wstring escape(const std::wstring& text) = 0;
    virtual void use(const std::wstring& database) = 0;
    // A statement that returns rows, in its owner.
    virtual RecordSetRef query(const std::wstring& sql) = 0;
    // A statement that returns no rows.
    virtual void execute(const std::wstring& sql) = 0;
    virtual void replace(const std::wstring& deleteSql, const std::wstring& insertSql) = 0;
    virtual void setIdentityInsertTable(const std::wstring& table) = 0;
    virtual uint64_t lastInsertId() = 0;
    virtual int beginTransaction() = 0;
    virtual int commit() = 0;
    virtual int rollback() = 0;
    virtual void beginAutoTransaction(const std::wstring& unused) = 0;
    virtual void endAutoTransaction() = 0;
    // A fresh identifier, larger than every one handed out before.
    virtual uint64_t nextId(const std::wstring& table, const std::wstring& column) = 0;
    // Whether a table of exactly this name exists in the current database.
    virtual bool tableExists(const std::wstring& table) = 0;
    virtual int transactionLevel() = 0;
    virtual std::wstring lastError() = 0;
    virtual void setPassword(const std::wstring& login, const std::wstring& newPassword,
                             const std::wstring& oldPassword) = 0;
    // Appends the names of the current database's tables.
    virtual void getTables(StringList& tables) = 0;
    virtual void ExportData(IDatabaseExportWriter* writer) = 0;
    // One table's rows as "table", "row" and "field" elements; the identity
    // table "ms_jet_counter" is skipped. The table name goes into the query
    // as one quoted identifier, whatever characters it holds. A value the
    // document cannot carry as text (a binary column's bytes, or text with a
    // character XML 1.0 does not allow) is written as the base64 of its bytes
    // with the field attribute encoding="base64" (and type="text" for text,
    // whose bytes are UTF-8). Raises, naming table, column and row, for text
    // that has no exact UTF-8 form (an unpaired surrogate).
    virtual void ExportTable(IDatabaseExportWriter* writer, const std::wstring& table);
    // Raise "Not implemented" unless a provider supports them.
    virtual void ImportSchema(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                              const std::wstring& login, const std::wstring& password, int32_t port,
                              const std::wstring& socket, bool createDatabase, const std::wstring& adminLogin,
                              const std::wstring& adminPassword);
    virtual void ImportData(const std::wstring& source, const std::wstring& host, const std::wstring& database,
                            const std::wstring& login, const std::wstring& password, int32_t port,
                            const std::wstring& socket);
    // Ignored unless a provider supports reconnecting.
    virtual void setReconnectHandler(IDatabaseReconnectHandler* handler);

protected:
    // The rows ExportTable writes, read once from the first to the last and
    // released before any other statement runs. By default `query`; a
    // provider may hand the rows over as they arrive, so that an export of
    // any size holds one row at a time.
    virtual RecordSetRef queryForExport(const std::wstring& sql) { return query(sql); }
    // The time zone of the TIMESTAMP values ExportTable writes, given as
    // each "table" element's "time_zone"; by default none is said.
    virtual std::wstring exportTimeZone() { return {}; }
    // The column list ExportTable selects from `table`: by default "*".
    virtual std::wstring exportColumns(const std::wstring& table) {
        (void)table;
        return L"*";
    }
};

// A new, unconnected provider for `name` (compared exactly; empty means
// "MySQL"), owned by the caller. Raises "Unable to build database provider "
// + name for any name it does not know.
IDatabaseProvider* CreateDatabaseProvider(const std::wstring& name);
