// The rows of one buffered MySQL result. Owns the client library's result
// and frees it when the last reference is released.
#pragma once

#include "database/database_provider.h"

#include <map>

struct st_mysql_res;

class VMySQLRecordSet : public DatabaseRecordSetBase {
public:
    // Takes ownership of `result`. A later column with the same name as an
    // earlier one takes over its name.
    explicit VMySQLRecordSet(st_mysql_res* result);
    VMySQLRecordSet(const VMySQLRecordSet&) = delete;
    VMySQLRecordSet& operator=(const VMySQLRecordSet&) = delete;

    bool next() override;
    // Both return the negation of the client library's end-of-data flag,
    // which a buffered result always has set: false.
    bool moveFirst() override;
    bool moveLast() override;
    int fieldCount() override;
    int fieldIndex(const std::wstring& name) override;
    bool hasField(const std::wstring& name) override;
    std::wstring fieldName(int index) override;
    bool isNull(int index, bool emptyIsNull) override;
    bool isEmpty(int index, bool valueForNull) override;
    std::wstring getString(int index, const std::wstring& defaultText, bool emptyIsNull) override;
    bool getValue(int index, std::wstring& text, bool emptyIsNull) override;
    uint64_t rowCount() override;

protected:
    ~VMySQLRecordSet() override;

private:
    std::map<std::wstring, int> columns_;
    st_mysql_res* result_;
    char** row_ = nullptr;
};
