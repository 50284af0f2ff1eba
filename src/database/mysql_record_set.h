// The rows of one MySQL result, buffered or streamed. Owns the client library's result
// and frees it when the last reference is released. Reading a value without
// a current row (before next, or after it returned false) raises.
#pragma once

#include "database/database_provider.h"

#include <map>

struct st_mysql;
struct st_mysql_res;

class VMySQLRecordSet : public DatabaseRecordSetBase {
public:
    // Takes ownership of `result`. A later column with the same name as an
    // earlier one takes over its name. `streamedFrom` is the connection of a
    // streamed result (mysql_use_result), whose error next raises when the
    // rows stop before their end; null for a buffered one.
    explicit VMySQLRecordSet(st_mysql_res* result, st_mysql* streamedFrom = nullptr);
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
    // A binary string, BLOB, BIT or geometry column (the binary character
    // set), or a text value of the current row whose bytes are not UTF-8:
    // getBytes gives them exactly; getValue decodes them as UTF-8 like any
    // text.
    bool isBinary(int index) override;
    bool getBytes(int index, std::string& bytes) override;

protected:
    ~VMySQLRecordSet() override;

private:
    // The value of `index` in the current row (null for SQL NULL) and its
    // length in bytes; every value is read with its length, zero bytes
    // included. Raises without a current row or for an index out of range.
    const char* current(int index, unsigned long& length);

    std::map<std::wstring, int> columns_;
    st_mysql_res* result_;
    st_mysql* streamedFrom_;
    char** row_ = nullptr;
    unsigned long* lengths_ = nullptr;
};
