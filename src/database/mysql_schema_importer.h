// Turns a schema document into CREATE TABLE statements on a MySQL provider:
// "table" elements with "column" and "index" children; elements of another
// platform than "WIN" are left out, names are compared whole.
#pragma once

#include "database/content_handler_wrapper.h"
#include "database/database_provider.h"

#include <map>
#include <string>

class MySQLSchemaImporter : public ContentHandlerWrapper {
public:
    // `freshDatabase`: the database was just created, so no table needs to
    // be dropped before it is created. `progress` may be null.
    MySQLSchemaImporter(IDatabaseProvider* provider, bool freshDatabase, IDatabaseProgress* progress = nullptr);

    void startElement(const std::wstring& name, ISAXAttributes* attributes) override;
    void endElement(const std::wstring& name) override;
    using ContentHandlerWrapper::characters;

    // The column definition of a "column" element: the name in backticks,
    // the type, NOT NULL unless "null" is "YES", the default (as a quoted,
    // escaped literal unless it is CURRENT_TIMESTAMP) and "extra".
    static std::wstring columnText(IDatabaseProvider* provider, ISAXAttributes* attributes);

private:
    IDatabaseProvider* provider_;
    bool freshDatabase_;
    IDatabaseProgress* progress_;
    std::wstring table_;
    std::wstring tablePlatform_;
    std::wstring columns_;
    std::map<std::wstring, std::wstring> keys_;
};
