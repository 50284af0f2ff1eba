#include "database/mysql_data_importer.h"

#include "database/field_encoding.h"
#include "database/mysql_database_provider.h"
#include "database/sql_identifier.h"
#include "database/statement_mask.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"

namespace {

constexpr ContextSite kImportSite{"MySQLDataImporter::endElement", 0};
constexpr size_t kLoggedStatement = 500;
// The server's errors after which the table's transaction is gone: a
// deadlock always rolls it back, a lock wait time-out when the server is
// set so (innodb_rollback_on_timeout).
constexpr unsigned kDeadlock = 1213;
constexpr unsigned kLockWaitTimeout = 1205;

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
            setTimeZone(attribute(attributes, L"time_zone"));
            generated_.clear();
            if (auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(provider_)) {
                try {
                    for (const auto& column : mysql->generatedColumns(table_)) generated_.insert(column);
                } catch (const vexception& error) {
                    // The table's own statements below say what is wrong.
                    LogManager::logError(LogInfo, error);
                }
            }
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
        // The server computes a generated column itself and refuses a value.
        if (fieldAccepted_ && !generated_.empty() && generated_.count(attribute(attributes, L"name")) != 0)
            fieldAccepted_ = false;
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

void MySQLDataImporter::abandon() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    provider_->rollback();
}

void MySQLDataImporter::setTimeZone(const std::wstring& zone) {
    if (zone == timeZone_) return;
    // A document from before the zone was written: the session's own zone,
    // the server's default, as when it was exported.
    provider_->execute(zone.empty() ? std::wstring(L"SET time_zone = DEFAULT")
                                    : L"SET time_zone = '" + provider_->escape(zone) + L"'");
    timeZone_ = zone;
}

bool MySQLDataImporter::transactionLost() {
    auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(provider_);
    if (mysql == nullptr) return false;
    const unsigned error = mysql->lastErrorNumber();
    if (error == kDeadlock) return true;
    if (error != kLockWaitTimeout) return false;
    try {
        RecordSetRef rows(provider_->query(L"SELECT @@innodb_rollback_on_timeout"));
        return !rows->next() || rows->getString(0, L"1", true) != L"0";
    } catch (const vexception&) {
        // Unknown: the safe answer is that the transaction is gone.
        return true;
    }
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
    std::wstring sql, failure;
    bool sent = false, inserted = false;
    try {
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
        sent = true;
        provider_->execute(sql);
        inserted = true;
    } catch (const vexception& error) {
        // The server's own words, not the statement's: its values are
        // customers' data, and the error line goes to standard output and
        // the event log. The statement goes to the debug log only.
        failure = sent ? serverFailure() : error.message();
    }
    if (inserted) {
        ++rows_;
        if (progress_ != nullptr) progress_->rowDone(false);
        return;
    }
    LogManager::print(LogInfo, L"Unable to import data row: %s",
                      shortened(maskPasswords(sql, provider_->dialect())).c_str());
    // Going on would insert the table's remaining rows one by one without
    // its transaction, into a table that has lost the rows before them.
    if (sent && transactionLost()) {
        inTransaction_ = false;
        throw vexception(L"Row " + std::to_wstring(rowNumber_) + L" of table '" + table_ +
                             L"' made the server roll back the table's transaction (" + failure +
                             L"); the table is as it was before the import, and the import stops",
                         kImportSite.entry());
    }
    LogManager::print(LogError, L"Unable to import row %s of table '%s': %s", std::to_wstring(rowNumber_).c_str(),
                      table_.c_str(), failure.c_str());
    if (progress_ != nullptr) progress_->rowDone(true);
    ++failed_;
    if (!provider_->ping())
        throw vexception(L"The connection to the database was lost at row " + std::to_wstring(rowNumber_) +
                             L" of table '" + table_ + L"'; the import stops",
                         kImportSite.entry());
}

std::wstring MySQLDataImporter::serverFailure() {
    std::wstring text = provider_->lastError();
    if (auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(provider_)) {
        if (const unsigned number = mysql->lastErrorNumber(); number != 0)
            text = L"MySQL error " + std::to_wstring(number) + L": " + text;
    }
    return withoutQuotedValues(text);
}

std::wstring withoutQuotedValues(const std::wstring& message) {
    std::wstring text;
    size_t i = 0;
    while (i < message.size()) {
        const wchar_t c = message[i];
        if (c != L'\'') {
            text += c;
            ++i;
            continue;
        }
        // The end of the literal: the next quote that is not doubled.
        size_t end = i + 1;
        while (end < message.size() && !(message[end] == L'\'' && (end + 1 >= message.size() || message[end + 1] != L'\'')))
            end += message[end] == L'\'' ? 2 : 1;
        const bool keyName = text.size() >= 4 && text.compare(text.size() - 4, 4, L"key ") == 0;
        text += keyName ? message.substr(i, end + 1 - i) : std::wstring(L"'...'");
        i = end + 1;
    }
    return text;
}
