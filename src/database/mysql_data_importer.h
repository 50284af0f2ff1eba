// Turns a data document into statements on a MySQL provider: each accepted
// "table" element empties its table, each accepted "row" becomes one
// INSERT. A field with encoding="base64" holds the base64 of its value's
// bytes: a byte string, or with type="text" UTF-8 text. A row that fails is
// logged at level Error as "Unable to import row N of table 'T': " and the
// server's error without the values it quotes (the row's values are
// customers' data, and Error goes to standard output and the event log);
// its statement, passwords hidden and a long one shortened, only at level
// Info as "Unable to import data row: %s". The import goes on with the
// next row; the
// progress hears how many rows of each table failed. A row whose statement
// the server would refuse as larger than its max_allowed_packet is not sent
// (the server would drop the connection) and fails with that cause. When a
// failed row has lost the connection, the import stops with that error.
// Each accepted table is one transaction, from before its "delete from" to
// its end element: the server writes its log once per table instead of once
// per row, and a table the import leaves part-way (abandon) is rolled back
// to what it held before. A row that makes the server roll the transaction
// back itself (a deadlock, or a lock wait time-out where the server is set
// to roll back then) stops the import, which would otherwise go on
// inserting the rest of the table without it. Columns the server generates
// are left out of the rows. A "table" element's "time_zone" (the export
// writes it) is the session's time zone for its TIMESTAMP values; without
// one the server's default zone holds.
#pragma once

#include "database/content_handler_wrapper.h"
#include "database/database_provider.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>

// `message` with every quoted literal ('...') shown as '...', except the key
// name that follows "key ".
std::wstring withoutQuotedValues(const std::wstring& message);

class MySQLDataImporter : public ContentHandlerWrapper {
public:
    // `progress` may be null; it hears of each table with the number of
    // rows inserted into it.
    explicit MySQLDataImporter(IDatabaseProvider* provider, IDatabaseProgress* progress = nullptr);

    void startElement(const std::wstring& name, ISAXAttributes* attributes) override;
    void endElement(const std::wstring& name) override;
    void characters(const std::wstring& text) override;

    // Commits the transaction of the last table; call it once the whole
    // document is parsed. A failure of the commit raises.
    void finish();
    // Rolls back the transaction of a table the import left part-way (the
    // parse stopped with an error). A failure of the rollback raises.
    void abandon();

private:
    void insertRow();
    // The field's value as an SQL literal.
    std::wstring literal();
    // The server's max_allowed_packet in bytes; 0 when it cannot be read.
    uint64_t packetLimit();
    // Sets the session's time zone for the next table: `zone`, or the
    // server's default for none.
    void setTimeZone(const std::wstring& zone);
    // Whether the failure of the last statement rolled back the table's
    // transaction.
    bool transactionLost();
    // The server's error about the last statement: its number and text,
    // without the values the text quotes.
    std::wstring serverFailure();

    IDatabaseProvider* provider_;
    IDatabaseProgress* progress_;
    std::wstring table_;
    bool tableAccepted_ = false;
    bool rowAccepted_ = false;
    bool fieldAccepted_ = false;
    bool inField_ = false;
    std::wstring columns_;
    std::wstring values_;
    std::wstring value_;
    std::wstring rowError_;
    bool fieldNull_ = false;
    bool inTransaction_ = false;
    std::wstring fieldEncoding_;
    bool fieldText_ = false;
    uint64_t rows_ = 0;
    uint64_t failed_ = 0;
    uint64_t rowNumber_ = 0;
    std::optional<uint64_t> packetLimit_;
    std::wstring timeZone_;
    // Column names compare without regard to case.
    struct NoCase {
        bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
    };
    std::set<std::wstring, NoCase> generated_;
};
