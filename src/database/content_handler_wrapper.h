// The SAX content handler the schema and data imports are built on. The
// MSXML reader calls the raw entry points; each runs the matching virtual
// handler operation with the structured-exception translator installed and
// a deferred cancellation point open, and turns whatever the handler raises
// into a failure result that stops the parser, keeping the error's full
// text for parseURL. Reference counted as COM requires; the importers live
// on the stack of whoever parses, so the count never destroys the object.
#pragma once

#include "database/msxml_classes.h"
#include "diagnostics/com_ptr.h"

#include <string>

class ContentHandlerWrapper;

// A document read more than once, each time from its beginning: a file is
// opened once and cannot be written while this lives, so that every parse
// reads the same bytes (a check pass before the import pass reads what the
// import will read). A URL is fetched by each parse.
class SaxDocument {
public:
    // Opens a file; raises its COM error when it cannot be opened.
    explicit SaxDocument(const std::wstring& source);
    SaxDocument(const SaxDocument&) = delete;
    SaxDocument& operator=(const SaxDocument&) = delete;

    // Parses the whole document with `handler`, as ContentHandlerWrapper::
    // parseURL describes.
    void parse(ContentHandlerWrapper* handler);

    const std::wstring& source() const { return source_; }

private:
    std::wstring source_;
    ComPtr<IStream> stream_;  // null for a URL
};

class ContentHandlerWrapper : public ISAXContentHandler {
public:
    ContentHandlerWrapper() = default;
    virtual ~ContentHandlerWrapper() = default;
    ContentHandlerWrapper(const ContentHandlerWrapper&) = delete;
    ContentHandlerWrapper& operator=(const ContentHandlerWrapper&) = delete;

    // Parses `source` (a file path or URL) with `handler`. When the parser
    // stops because a handler operation failed, raises a vexception with that
    // failure's full text; otherwise a failed parse (malformed XML, a missing
    // file) raises the parser's COM error. A cancellation requested inside a
    // handler operation is carried out once the parser has returned.
    static void parseURL(ContentHandlerWrapper* handler, const std::wstring& source);

    // The full text of the last handler failure; empty when none.
    const std::wstring& errorText() const { return errorText_; }

    // The value of the attribute named exactly `name`; empty when absent.
    static std::wstring attribute(ISAXAttributes* attributes, const wchar_t* name);

    // The handler operations the importers implement; `name` is the
    // element's whole local name. The others of the interface do nothing.
    virtual void startElement(const std::wstring& name, ISAXAttributes* attributes);
    virtual void endElement(const std::wstring& name);
    virtual void characters(const std::wstring& text);

    // IUnknown
    HRESULT WINAPI QueryInterface(REFIID iid, void** object) override;
    ULONG WINAPI AddRef() override;
    ULONG WINAPI Release() override;

    // ISAXContentHandler: the raw entry points.
    HRESULT WINAPI putDocumentLocator(ISAXLocator* locator) override;
    HRESULT WINAPI startDocument() override;
    HRESULT WINAPI endDocument() override;
    HRESULT WINAPI startPrefixMapping(const wchar_t* prefix, int prefixLength, const wchar_t* uri,
                                      int uriLength) override;
    HRESULT WINAPI endPrefixMapping(const wchar_t* prefix, int prefixLength) override;
    HRESULT WINAPI startElement(const wchar_t* uri, int uriLength, const wchar_t* localName, int localLength,
                                const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    HRESULT WINAPI endElement(const wchar_t* uri, int uriLength, const wchar_t* localName, int localLength,
                              const wchar_t* qName, int qLength) override;
    HRESULT WINAPI characters(const wchar_t* text, int length) override;
    HRESULT WINAPI ignorableWhitespace(const wchar_t* text, int length) override;
    HRESULT WINAPI processingInstruction(const wchar_t* target, int targetLength, const wchar_t* data,
                                         int dataLength) override;
    HRESULT WINAPI skippedEntity(const wchar_t* name, int length) override;

private:
    friend class SaxDocument;
    template <class Body>
    HRESULT guarded(const char* function, Body body);

    long references_ = 1;
    std::wstring errorText_;
    bool canceled_ = false;
};

// Whether an element of `platform` is imported: no platform, or "WIN".
inline bool platformAccepted(const std::wstring& platform) { return platform.empty() || platform == L"WIN"; }
