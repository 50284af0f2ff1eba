// The writer the data export hands its elements to: MSXML's XML writer
// (MXXMLWriter30 with a SAXAttributes30 list) writing a UTF-8 file. The
// export's "table" elements go inside one root element, "data". Line breaks
// and indentation go only between elements, never inside one that holds
// text, so every field's text reads back exactly as it was written; a
// carriage return is written as a character reference, which XML readers
// do not fold into a line feed (Wine's msxml3 reader does).
#pragma once

#include "database/database_provider.h"
#include "database/msxml_classes.h"
#include "diagnostics/com_ptr.h"

#include <deque>
#include <string>
#include <utility>
#include <vector>

class XmlExportWriter : public IDatabaseExportWriter {
public:
    // Starts the document in a new temporary file beside `path`; COM stays
    // initialised on this thread while the writer lives. `path` itself is
    // touched only by finish. Raises the COM or system error of a failed step.
    explicit XmlExportWriter(const std::wstring& path);
    // Without finish, deletes the temporary file: whatever was at `path`
    // stays as it was.
    ~XmlExportWriter() override;
    XmlExportWriter(const XmlExportWriter&) = delete;
    XmlExportWriter& operator=(const XmlExportWriter&) = delete;

    void setAttribute(const std::wstring& name, const std::wstring& value) override;
    void startElement(const std::wstring& name) override;
    void characters(const std::wstring& text) override;
    void endElement(const std::wstring& name) override;

    // Ends the root element and the document, writes everything out, flushes
    // it to the disk and only then replaces `path` with the whole document,
    // keeping the access rights of the file it replaces (ReplaceFileW). While
    // another program holds either file, tries again for about two seconds.
    // Raises when it cannot; the temporary file is then deleted as ever.
    void finish();

private:
    // Creates MSXML's writer on the stream and starts the document.
    void start();
    void lineBreak();
    // `text` as a BSTR made once, while fewer than kCachedBstrs texts are
    // kept; null past that.
    const UniqueBstr* cachedBstr(const std::wstring& text);
    static constexpr size_t kCachedBstrs = 64;
    // Lets go of the stream and the writer that holds it.
    void releaseOutput();
    // Puts the temporary file in the place of `path`: the system error, or
    // ERROR_SUCCESS.
    DWORD replaceTarget();

    std::wstring path_;
    std::wstring temporary_;

    ScopedComInitialization com_;
    ComPtr<IStream> stream_;
    ComPtr<IMXWriter> writer_;
    ComPtr<ISAXContentHandler> content_;
    ComPtr<IMXAttributes> attributes_;
    ComPtr<ISAXAttributes> attributeList_;
    UniqueBstr empty_{std::wstring()};
    UniqueBstr cdata_{std::wstring(L"CDATA")};
    std::deque<std::pair<std::wstring, UniqueBstr>> bstrs_;  // grows without moving what it holds
    std::vector<std::wstring> indents_;  // the line break before an element, by depth
    int depth_ = 0;
    bool hadChildren_ = false;
};
