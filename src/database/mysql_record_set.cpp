#include "database/mysql_record_set.h"

#include "diagnostics/text.h"
#include "diagnostics/win32.h"

#include <mysql.h>

#include <cstring>

VMySQLRecordSet::VMySQLRecordSet(st_mysql_res* result) : result_(result) {
    const unsigned fields = mysql_num_fields(result_);
    for (unsigned i = 0; i < fields; ++i)
        columns_[wstr(mysql_fetch_field_direct(result_, i)->name, CP_UTF8)] = static_cast<int>(i);
}

VMySQLRecordSet::~VMySQLRecordSet() { mysql_free_result(result_); }

bool VMySQLRecordSet::next() {
    row_ = mysql_fetch_row(result_);
    return row_ != nullptr;
}

bool VMySQLRecordSet::moveFirst() {
    mysql_data_seek(result_, 0);
    return !mysql_eof(result_);
}

bool VMySQLRecordSet::moveLast() {
    const uint64_t rows = rowCount();
    if (rows != 0) mysql_data_seek(result_, rows - 1);
    return !mysql_eof(result_);
}

int VMySQLRecordSet::fieldCount() { return static_cast<int>(mysql_num_fields(result_)); }

int VMySQLRecordSet::fieldIndex(const std::wstring& name) {
    const auto found = columns_.find(name);
    return found == columns_.end() ? -1 : found->second;
}

bool VMySQLRecordSet::hasField(const std::wstring& name) { return fieldIndex(name) != -1; }

std::wstring VMySQLRecordSet::fieldName(int index) {
    return wstr(mysql_fetch_field_direct(result_, static_cast<unsigned>(index))->name, CP_UTF8);
}

bool VMySQLRecordSet::isNull(int index, bool emptyIsNull) {
    const char* value = row_[index];
    return value == nullptr || (emptyIsNull && value[0] == '\0');
}

bool VMySQLRecordSet::isEmpty(int index, bool valueForNull) {
    const char* value = row_[index];
    return value == nullptr ? valueForNull : value[0] == '\0';
}

std::wstring VMySQLRecordSet::getString(int index, const std::wstring& defaultText, bool emptyIsNull) {
    std::wstring text;
    if (getValue(index, text, emptyIsNull)) return text;
    return defaultText;
}

bool VMySQLRecordSet::getValue(int index, std::wstring& text, bool emptyIsNull) {
    if (isNull(index, emptyIsNull)) return false;
    // One conversion pass: UTF-8 never needs more UTF-16 units than bytes.
    const char* value = row_[index];
    const int bytes = static_cast<int>(std::strlen(value));
    text.resize(static_cast<size_t>(bytes));
    const int units = bytes == 0 ? 0 : ::MultiByteToWideChar(CP_UTF8, 0, value, bytes, text.data(), bytes);
    text.resize(static_cast<size_t>(units));
    return true;
}

uint64_t VMySQLRecordSet::rowCount() { return mysql_num_rows(result_); }
