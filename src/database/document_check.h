// The pass an import makes over its whole document before its first
// statement: the document must be well-formed XML to its end, of the kind
// the import reads, and every name it places into a statement must be one
// the server takes. Only then does the import change anything, so that a
// document cut off, malformed or of the other kind leaves the database as
// it was.
//
// A data document is one whose root is "data", or (under another root) one
// with "row" or "field" elements; a schema document one whose root is
// "schema", or one with "column" or "index" elements. A document with
// neither (only "table" elements) counts as either kind; one with both is
// refused. In a schema document each column's "type" and "extra", which
// CREATE TABLE takes as they are, must be column definition text.
#pragma once

#include "database/content_handler_wrapper.h"

#include <string>
#include <vector>

enum class DocumentKind { Data, Schema };

class DocumentCheck : public ContentHandlerWrapper {
public:
    explicit DocumentCheck(DocumentKind expected);

    // Parses the whole of `document` and raises, saying that nothing was
    // changed, when it is malformed, of the other kind or holds a name the
    // server would refuse.
    void run(SaxDocument& document);

    // The accepted tables (platform empty or "WIN") in the order of the
    // document, each once.
    const std::vector<std::wstring>& tables() const { return tables_; }

    // Why `name` cannot name a table, column or key: empty when it can.
    static std::wstring nameProblem(const std::wstring& name);
    // Why `text` cannot be a column's type (`literals`: quoted ENUM and SET
    // values allowed between parentheses) or its extra text: empty when it
    // can. Words, numbers, blanks, "_", ".", balanced parentheses and commas
    // between them; nothing that could end the column or the statement or
    // open a comment.
    static std::wstring definitionProblem(const std::wstring& text, bool literals);

    void startElement(const std::wstring& name, ISAXAttributes* attributes) override;
    void endElement(const std::wstring& name) override;
    using ContentHandlerWrapper::characters;

private:
    // Raises when the elements seen so far show the other kind.
    void requireKind() const;
    void checkName(const std::wstring& what, const std::wstring& name) const;

    DocumentKind expected_;
    int depth_ = 0;
    bool dataRoot_ = false, schemaRoot_ = false;
    bool dataElements_ = false, schemaElements_ = false;
    bool tableAccepted_ = false;
    bool rowAccepted_ = true;
    std::wstring table_;
    std::vector<std::wstring> tables_;
};

// "a data document (the rows of tables)" or "a schema document (tables
// with their columns and indexes)".
std::wstring describeKind(DocumentKind kind);
