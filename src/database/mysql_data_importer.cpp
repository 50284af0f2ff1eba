#include "database/mysql_data_importer.h"

#include "database/sql_identifier.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

MySQLDataImporter::MySQLDataImporter(IDatabaseProvider* provider, IDatabaseProgress* progress)
    : provider_(provider), progress_(progress) {}

void MySQLDataImporter::startElement(const std::wstring& name, ISAXAttributes* attributes) {
    if (name == L"table") {
        table_ = attribute(attributes, L"name");
        tableAccepted_ = platformAccepted(attribute(attributes, L"platform"));
        rows_ = 0;
        if (tableAccepted_) {
            finish();
            if (progress_ != nullptr) progress_->tableStarted(table_);
            provider_->beginTransaction();
            inTransaction_ = true;
            provider_->execute(L"delete from " + quoteIdentifier(table_));
        }
    } else if (name == L"row") {
        rowAccepted_ = platformAccepted(attribute(attributes, L"platform"));
        columns_.clear();
        values_.clear();
    } else if (name == L"field") {
        inField_ = true;
        fieldAccepted_ = tableAccepted_ && rowAccepted_ && platformAccepted(attribute(attributes, L"platform"));
        if (!fieldAccepted_) return;
        value_ = attribute(attributes, L"value");
        fieldNull_ = attribute(attributes, L"isnull") == L"true";
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
        values_ += fieldNull_ ? std::wstring(L"NULL") : L"'" + provider_->escape(value_) + L"'";
        value_.clear();
        fieldAccepted_ = false;
    } else if (name == L"row") {
        if (tableAccepted_ && rowAccepted_) insertRow();
        rowAccepted_ = false;
    } else if (name == L"table") {
        if (tableAccepted_) {
            finish();
            if (progress_ != nullptr) progress_->tableDone(table_, rows_);
        }
        tableAccepted_ = false;
    }
}

void MySQLDataImporter::finish() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    provider_->commit();
}

void MySQLDataImporter::insertRow() {
    const std::wstring sql =
        L"INSERT INTO " + quoteIdentifier(table_) + L" (" + columns_ + L") VALUES (" + values_ + L")";
    const bool inserted =
        runWrappedLogged(LogError,
                         [&] {
                             return ContextEntry{format(L"Unable to import data row: %s", sql.c_str()),
                                                 "MySQLDataImporter::endElement", 0};
                         },
                         [&] { provider_->execute(sql); });
    if (inserted) ++rows_;
    if (progress_ != nullptr) progress_->rowDone(!inserted);
}
