#include "database/mysql_record_set.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "diagnostics/win32.h"

#include <mysql.h>

namespace {

constexpr ContextSite kValueSite{"VMySQLRecordSet", 0};
constexpr ContextSite kNextSite{"VMySQLRecordSet::next", 0};

// Whether `bytes` are well-formed UTF-8; the common all-ASCII value is told
// without the conversion.
bool isUtf8(const char* bytes, unsigned long length) {
    unsigned long i = 0;
    while (i < length && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
    if (i == length) return true;
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes + i, static_cast<int>(length - i), nullptr,
                                 0) != 0;
}
// The number of the character set "binary": numbers, dates and byte strings.
constexpr unsigned kBinaryCharset = 63;

}  // namespace

VMySQLRecordSet::VMySQLRecordSet(st_mysql_res* result, st_mysql* streamedFrom)
    : result_(result), streamedFrom_(streamedFrom) {
    const unsigned fields = mysql_num_fields(result_);
    for (unsigned i = 0; i < fields; ++i)
        columns_[wstr(mysql_fetch_field_direct(result_, i)->name, CP_UTF8)] = static_cast<int>(i);
}

VMySQLRecordSet::~VMySQLRecordSet() { mysql_free_result(result_); }

bool VMySQLRecordSet::next() {
    row_ = mysql_fetch_row(result_);
    lengths_ = row_ != nullptr ? mysql_fetch_lengths(result_) : nullptr;
    if (row_ != nullptr) return true;
    // While rows stream, the end of the rows and an error on the way (the
    // statement killed or timed out, the connection lost) look the same
    // here; only the connection's error number tells them apart.
    if (streamedFrom_ != nullptr && mysql_errno(streamedFrom_) != 0)
        throw vexception(L"The rows stopped coming after row " + std::to_wstring(mysql_num_rows(result_)) +
                             L": MySQL error " + std::to_wstring(mysql_errno(streamedFrom_)) + L": " +
                             wstr(mysql_error(streamedFrom_), CP_UTF8),
                         kNextSite.entry());
    return false;
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

const char* VMySQLRecordSet::current(int index, unsigned long& length) {
    if (row_ == nullptr || lengths_ == nullptr)
        throw vexception(L"No current row to read column " + std::to_wstring(index) + L" from", kValueSite.entry());
    if (index < 0 || index >= fieldCount())
        throw vexception(L"No column " + std::to_wstring(index) + L" in the record set", kValueSite.entry());
    length = lengths_[index];
    return row_[index];
}

bool VMySQLRecordSet::isNull(int index, bool emptyIsNull) {
    unsigned long length = 0;
    return current(index, length) == nullptr || (emptyIsNull && length == 0);
}

bool VMySQLRecordSet::isEmpty(int index, bool valueForNull) {
    unsigned long length = 0;
    return current(index, length) == nullptr ? valueForNull : length == 0;
}

std::wstring VMySQLRecordSet::getString(int index, const std::wstring& defaultText, bool emptyIsNull) {
    std::wstring text;
    if (getValue(index, text, emptyIsNull)) return text;
    return defaultText;
}

bool VMySQLRecordSet::getValue(int index, std::wstring& text, bool emptyIsNull) {
    if (isNull(index, emptyIsNull)) return false;
    // One conversion pass: UTF-8 never needs more UTF-16 units than bytes.
    unsigned long length = 0;
    const char* value = current(index, length);
    const int bytes = static_cast<int>(length);
    text.resize(static_cast<size_t>(bytes));
    const int units = bytes == 0 ? 0 : ::MultiByteToWideChar(CP_UTF8, 0, value, bytes, text.data(), bytes);
    text.resize(static_cast<size_t>(units));
    return true;
}

bool VMySQLRecordSet::isBinary(int index) {
    if (index < 0 || index >= fieldCount())
        throw vexception(L"No column " + std::to_wstring(index) + L" in the record set", kValueSite.entry());
    const MYSQL_FIELD* field = mysql_fetch_field_direct(result_, static_cast<unsigned>(index));
    if (field->charsetnr != kBinaryCharset) {
        // Text whose bytes are no UTF-8 would lose them to U+FFFD.
        unsigned long length = 0;
        const char* value = row_ != nullptr ? current(index, length) : nullptr;
        return value != nullptr && !isUtf8(value, length);
    }
    switch (field->type) {
        case MYSQL_TYPE_TINY_BLOB:
        case MYSQL_TYPE_MEDIUM_BLOB:
        case MYSQL_TYPE_LONG_BLOB:
        case MYSQL_TYPE_BLOB:
        case MYSQL_TYPE_STRING:
        case MYSQL_TYPE_VAR_STRING:
        case MYSQL_TYPE_VARCHAR:
        case MYSQL_TYPE_BIT:
        case MYSQL_TYPE_GEOMETRY:
            return true;
        default:
            return false;
    }
}

bool VMySQLRecordSet::getBytes(int index, std::string& bytes) {
    unsigned long length = 0;
    const char* value = current(index, length);
    if (value == nullptr) return false;
    bytes.assign(value, length);
    return true;
}

uint64_t VMySQLRecordSet::rowCount() { return mysql_num_rows(result_); }
