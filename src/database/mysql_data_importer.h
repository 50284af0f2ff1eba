// Turns a data document into statements on a MySQL provider: each accepted
// "table" element empties its table, each accepted "row" becomes one
// INSERT. A field with encoding="base64" holds the base64 of its value's
// bytes: a byte string, or with type="text" UTF-8 text. A row that fails is
// logged at level Error as "Unable to import data row: %s" (a long
// statement shortened) and the import goes on with the next one; the
// progress hears how many rows of each table failed. A row whose statement
// the server would refuse as larger than its max_allowed_packet is not sent
// (the server would drop the connection) and fails with that cause. When a
// failed row has lost the connection, the import stops with that error.
// Each accepted table is one transaction, from before its "delete from" to
// its end element, so that the server writes its log once per table instead
// of once per row; a connection that ends inside a table leaves the table
// as it was.
#pragma once

#include "database/content_handler_wrapper.h"
#include "database/database_provider.h"

#include <cstdint>
#include <optional>
#include <string>

class MySQLDataImporter : public ContentHandlerWrapper {
public:
    // `progress` may be null; it hears of each table with the number of
    // rows inserted into it.
    explicit MySQLDataImporter(IDatabaseProvider* provider, IDatabaseProgress* progress = nullptr);

    void startElement(const std::wstring& name, ISAXAttributes* attributes) override;
    void endElement(const std::wstring& name) override;
    void characters(const std::wstring& text) override;

    // Commits the transaction of a table the parser left unfinished (the
    // document broke off, or a statement outside the rows failed), so that
    // the rows inserted so far stay, as they do when every row is
    // committed on its own. Call it however the parse ended; a failure of
    // the commit raises.
    void finish();

private:
    void insertRow();
    // The field's value as an SQL literal.
    std::wstring literal();
    // The server's max_allowed_packet in bytes; 0 when it cannot be read.
    uint64_t packetLimit();

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
};
