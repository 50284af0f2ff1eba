#include "database/document_check.h"

#include "diagnostics/exceptions.h"

#include <algorithm>
#include <cwctype>

namespace {

constexpr ContextSite kCheckSite{"DocumentCheck", 0};
// The longest table, column or key name MySQL and MariaDB take.
constexpr size_t kLongestName = 64;

}  // namespace

std::wstring describeKind(DocumentKind kind) {
    return kind == DocumentKind::Data ? L"a data document (the rows of tables)"
                                      : L"a schema document (tables with their columns and indexes)";
}

DocumentCheck::DocumentCheck(DocumentKind expected) : expected_(expected) {}

std::wstring DocumentCheck::nameProblem(const std::wstring& name) {
    if (name.empty()) return L"it is empty";
    if (name.size() > kLongestName) return L"it is longer than 64 characters";
    if (name.back() == L' ') return L"it ends with a blank";
    if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; }))
        return L"it holds a character outside the Basic Multilingual Plane";
    return {};
}

std::wstring DocumentCheck::definitionProblem(const std::wstring& text, bool literals) {
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\'' && literals && depth > 0) {
            // A literal (an ENUM or SET value) ends at a quote that is neither
            // doubled nor escaped.
            size_t end = i + 1;
            for (; end < text.size(); ++end) {
                if (text[end] == L'\\') {
                    ++end;
                } else if (text[end] == L'\'') {
                    if (end + 1 < text.size() && text[end + 1] == L'\'') {
                        ++end;
                    } else {
                        break;
                    }
                }
            }
            if (end >= text.size()) return L"a quoted value is not closed";
            i = end;
            continue;
        }
        if (c == L'(') {
            ++depth;
        } else if (c == L')') {
            if (--depth < 0) return L"a parenthesis is closed that was not opened";
        } else if (c == L',') {
            // Between a type's numbers or values; outside them it would begin
            // the next column.
            if (depth == 0) return L"it holds a comma outside parentheses";
        } else if (!(iswalnum(c) && c < 0x80) && c != L' ' && c != L'_' && c != L'.') {
            return std::wstring(L"it holds the character '") + c + L"'";
        }
    }
    if (depth != 0) return L"a parenthesis is not closed";
    return {};
}

void DocumentCheck::checkName(const std::wstring& what, const std::wstring& name) const {
    const std::wstring problem = nameProblem(name);
    if (problem.empty()) return;
    std::wstring where = what + L" '" + name + L"'";
    if (what != L"the table" && !table_.empty()) where += L" of table '" + table_ + L"'";
    throw vexception(L"The document names " + where + L", which the server cannot take: " + problem,
                     kCheckSite.entry());
}

void DocumentCheck::requireKind() const {
    const bool data = dataRoot_ || dataElements_;
    const bool schema = schemaRoot_ || schemaElements_;
    if (data && schema)
        throw vexception(L"The document holds both rows, as a data document does, and columns or indexes, as a "
                         L"schema document does",
                         kCheckSite.entry());
    const DocumentKind other = expected_ == DocumentKind::Data ? DocumentKind::Schema : DocumentKind::Data;
    if ((other == DocumentKind::Schema && schema) || (other == DocumentKind::Data && data))
        throw vexception(L"The document is " + describeKind(other) + L", not " + describeKind(expected_),
                         kCheckSite.entry());
}

void DocumentCheck::startElement(const std::wstring& name, ISAXAttributes* attributes) {
    if (depth_++ == 0) {
        dataRoot_ = name == L"data";
        schemaRoot_ = name == L"schema";
        requireKind();
        return;
    }
    if (name == L"table") {
        table_ = attribute(attributes, L"name");
        tableAccepted_ = platformAccepted(attribute(attributes, L"platform"));
        if (!tableAccepted_) return;
        checkName(L"the table", table_);
        if (std::find(tables_.begin(), tables_.end(), table_) == tables_.end()) tables_.push_back(table_);
        return;
    }
    const bool data = name == L"row" || name == L"field";
    const bool schema = name == L"column" || name == L"index";
    if (!data && !schema) return;
    if (data && !dataElements_) {
        dataElements_ = true;
        requireKind();
    }
    if (schema && !schemaElements_) {
        schemaElements_ = true;
        requireKind();
    }
    const bool accepted = tableAccepted_ && platformAccepted(attribute(attributes, L"platform"));
    if (name == L"row") {
        rowAccepted_ = accepted;
        return;
    }
    if (!accepted || (name == L"field" && !rowAccepted_)) return;
    if (name == L"column") {
        const std::wstring column = attribute(attributes, L"name");
        checkName(L"the column", column);
        // Both go into CREATE TABLE as they are.
        const std::wstring type = attribute(attributes, L"type");
        std::wstring problem = type.empty() ? L"it is empty" : definitionProblem(type, true);
        if (problem.empty()) problem = definitionProblem(attribute(attributes, L"extra"), false);
        if (!problem.empty())
            throw vexception(L"The document gives column '" + column + L"' of table '" + table_ +
                                 L"' a type or extra text that is no column definition: " + problem,
                             kCheckSite.entry());
    } else if (name == L"field") {
        checkName(L"the column", attribute(attributes, L"name"));
    } else if (name == L"index") {
        checkName(L"the key", attribute(attributes, L"key_name"));
        checkName(L"the column", attribute(attributes, L"column_name"));
    }
}

void DocumentCheck::endElement(const std::wstring& name) {
    --depth_;
    if (name == L"table") {
        tableAccepted_ = false;
        table_.clear();
    }
}

void DocumentCheck::run(SaxDocument& document) {
    try {
        document.parse(this);
    } catch (const vexception& error) {
        throw vexception(L"'" + document.source() + L"' cannot be imported, and nothing was changed: " +
                             error.message(),
                         kCheckSite.entry());
    }
}
