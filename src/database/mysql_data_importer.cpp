#include "database/mysql_data_importer.h"

#include "database/field_encoding.h"
#include "database/sql_identifier.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

namespace {

constexpr ContextSite kImportSite{"MySQLDataImporter::endElement", 0};
constexpr size_t kLoggedStatement = 500;

// A statement as the log shows it: a long one only by its beginning and
// its length.
std::wstring shortened(const std::wstring& sql) {
    if (sql.size() <= kLoggedStatement) return sql;
    return sql.substr(0, kLoggedStatement) + L"... (" + std::to_wstring(sql.size()) + L" characters)";
}

}  // namespace

MySQLDataImporter::MySQLDataImporter(IDatabaseProvider* provider, IDatabaseProgress* progress)
    : provider_(provider), progress_(progress) {}

void MySQLDataImporter::startElement(const std::wstring& name, ISAXAttributes* attributes) {
    if (name == L"table") {
        table_ = attribute(attributes, L"name");
        tableAccepted_ = platformAccepted(attribute(attributes, L"platform"));
        rows_ = 0;
        failed_ = 0;
        rowNumber_ = 0;
        if (tableAccepted_) {
            finish();
            if (progress_ != nullptr) progress_->tableStarted(table_);
            provider_->beginTransaction();
            inTransaction_ = true;
            provider_->execute(L"delete from " + quoteIdentifier(table_));
        }
    } else if (name == L"row") {
        rowAccepted_ = platformAccepted(attribute(attributes, L"platform"));
        if (tableAccepted_ && rowAccepted_) ++rowNumber_;
        columns_.clear();
        values_.clear();
        rowError_.clear();
    } else if (name == L"field") {
        inField_ = true;
        fieldAccepted_ = tableAccepted_ && rowAccepted_ && platformAccepted(attribute(attributes, L"platform"));
        if (!fieldAccepted_) return;
        value_ = attribute(attributes, L"value");
        fieldNull_ = attribute(attributes, L"isnull") == L"true";
        fieldEncoding_ = attribute(attributes, L"encoding");
        fieldText_ = attribute(attributes, L"type") == L"text";
        if (!columns_.empty()) columns_ += L",";
        columns_ += quoteIdentifier(attribute(attributes, L"name"));
    }
}

void MySQLDataImporter::characters(const std::wstring& text) {
    if (inField_ && fieldAccepted_) value_ += text;
}

void MySQLDataImporter::endElement(const std::wstring& name) {
    if (name == L"field") {
        inField_ = false;
        if (!fieldAccepted_) return;
        if (!values_.empty()) values_ += L",";
        try {
            values_ += literal();
        } catch (const vexception& error) {
            if (rowError_.empty()) rowError_ = error.message();
        }
        value_.clear();
        fieldAccepted_ = false;
    } else if (name == L"row") {
        if (tableAccepted_ && rowAccepted_) insertRow();
        rowAccepted_ = false;
    } else if (name == L"table") {
        if (tableAccepted_) {
            finish();
            if (progress_ != nullptr) {
                if (failed_ != 0) progress_->rowsFailed(table_, failed_);
                progress_->tableDone(table_, rows_);
            }
        }
        tableAccepted_ = false;
    }
}

void MySQLDataImporter::finish() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    provider_->commit();
}

std::wstring MySQLDataImporter::literal() {
    if (fieldNull_) return L"NULL";
    if (fieldEncoding_.empty()) return L"'" + provider_->escape(value_) + L"'";
    std::string bytes;
    if (fieldEncoding_ != L"base64" || !base64Decode(value_, bytes))
        throw vexception(L"The value of a field of table '" + table_ + L"' in row " + std::to_wstring(rowNumber_) +
                             L" is not in the encoding '" + fieldEncoding_ + L"'",
                         kImportSite.entry());
    if (fieldText_) return L"'" + provider_->escape(wstr(bytes, CP_UTF8)) + L"'";
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring hex = L"X'";
    hex.reserve(bytes.size() * 2 + 3);
    for (unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex + L"'";
}

uint64_t MySQLDataImporter::packetLimit() {
    if (!packetLimit_) {
        packetLimit_ = 0;
        try {
            RecordSetRef rows(provider_->query(L"SELECT @@max_allowed_packet"));
            if (rows->next()) packetLimit_ = _wcstoui64(rows->getString(0, L"0", true).c_str(), nullptr, 10);
        } catch (const vexception& error) {
            LogManager::logError(LogWarning, error);
        }
    }
    return *packetLimit_;
}

void MySQLDataImporter::insertRow() {
    std::wstring sql;
    const bool inserted = runWrappedLogged(
        LogError,
        [&] {
            return ContextEntry{format(L"Unable to import data row: %s", shortened(sql).c_str()),
                                "MySQLDataImporter::endElement", 0};
        },
        [&] {
            // A field that cannot be read fails its row.
            if (!rowError_.empty()) throw vexception(rowError_, kImportSite.entry());
            sql = L"INSERT INTO " + quoteIdentifier(table_) + L" (" + columns_ + L") VALUES (" + values_ + L")";
            // The command byte goes into the same packet as the statement.
            const uint64_t limit = packetLimit(), size = cstr(sql, CP_UTF8).size() + 1;
            if (limit != 0 && size > limit)
                throw vexception(L"Row " + std::to_wstring(rowNumber_) + L" of table '" + table_ + L"' needs a " +
                                     std::to_wstring(size) + L"-byte statement, more than the server's "
                                     L"max_allowed_packet of " + std::to_wstring(limit) + L" bytes",
                                 kImportSite.entry());
            provider_->execute(sql);
        });
    if (progress_ != nullptr) progress_->rowDone(!inserted);
    if (inserted) {
        ++rows_;
        return;
    }
    ++failed_;
    if (!provider_->ping())
        throw vexception(L"The connection to the database was lost at row " + std::to_wstring(rowNumber_) +
                             L" of table '" + table_ + L"'; the import stops",
                         kImportSite.entry());
}
