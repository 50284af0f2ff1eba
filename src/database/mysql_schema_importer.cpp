#include "database/mysql_schema_importer.h"

#include "database/sql_identifier.h"

MySQLSchemaImporter::MySQLSchemaImporter(IDatabaseProvider* provider, bool freshDatabase,
                                         IDatabaseProgress* progress)
    : provider_(provider), freshDatabase_(freshDatabase), progress_(progress) {}

std::wstring MySQLSchemaImporter::columnText(IDatabaseProvider* provider, ISAXAttributes* attributes) {
    std::wstring text = quoteIdentifier(attribute(attributes, L"name")) + L" " + attribute(attributes, L"type") + L" ";
    if (attribute(attributes, L"null") != L"YES") text += L"NOT NULL ";
    const std::wstring value = attribute(attributes, L"default");
    if (!value.empty())
        text += L"default " + (value == L"CURRENT_TIMESTAMP" ? value : L"'" + provider->escape(value) + L"'") + L" ";
    return text + attribute(attributes, L"extra");
}

void MySQLSchemaImporter::startElement(const std::wstring& name, ISAXAttributes* attributes) {
    if (name == L"table") {
        table_ = attribute(attributes, L"name");
        tablePlatform_ = attribute(attributes, L"platform");
        columns_.clear();
        keys_.clear();
        return;
    }
    if (!platformAccepted(tablePlatform_) || !platformAccepted(attribute(attributes, L"platform"))) return;
    if (name == L"column") {
        if (!columns_.empty()) columns_ += L",";
        columns_ += columnText(provider_, attributes);
    } else if (name == L"index") {
        const std::wstring key = attribute(attributes, L"key_name");
        const std::wstring column = quoteIdentifier(attribute(attributes, L"column_name"));
        auto found = keys_.find(key);
        if (found != keys_.end())
            found->second += L", " + column;
        else if (key == L"PRIMARY")
            found = keys_.emplace(key, L"PRIMARY KEY  (" + column).first;
        else if (attribute(attributes, L"non_unique") == L"0")
            found = keys_.emplace(key, L"UNIQUE KEY " + quoteIdentifier(key) + L" (" + column).first;
        else
            found = keys_.emplace(key, L"KEY " + quoteIdentifier(key) + L" (" + column).first;
        found->second += attribute(attributes, L"Collation") == L"A" ? L" ASC" : L" DESC";
    }
}

void MySQLSchemaImporter::endElement(const std::wstring& name) {
    if (name != L"table" || !platformAccepted(tablePlatform_)) return;
    for (const auto& [key, text] : keys_) {
        if (!columns_.empty()) columns_ += L",";
        columns_ += text + L") ";
    }
    const std::wstring quoted = quoteIdentifier(table_);
    if (!freshDatabase_) provider_->execute(L"DROP TABLE IF EXISTS " + quoted);
    provider_->execute(L"CREATE TABLE " + quoted + L" (" + columns_ + L") ENGINE=InnoDB DEFAULT CHARSET=utf8");
    if (progress_ != nullptr) progress_->tableDone(table_, 0);
}
