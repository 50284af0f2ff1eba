// Turns a data document into statements on a MySQL provider: each accepted
// "table" element empties its table, each accepted "row" becomes one
// INSERT. A row that fails is logged at level Error as "Unable to import
// data row: %s" and the import goes on with the next one. Each accepted
// table is one transaction, from before its "delete from" to its end
// element, so that the server writes its log once per table instead of
// once per row; a connection that ends inside a table leaves the table as
// it was.
#pragma once

#include "database/content_handler_wrapper.h"
#include "database/database_provider.h"

#include <cstdint>
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
    bool fieldNull_ = false;
    bool inTransaction_ = false;
    uint64_t rows_ = 0;
};
