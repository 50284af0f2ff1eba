// Turns a data document into statements on a MySQL provider: each accepted
// "table" element empties its table, each accepted "row" becomes one
// INSERT. A row that fails is logged at level Error as "Unable to import
// data row: %s" and the import goes on with the next one.
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
    uint64_t rows_ = 0;
};
