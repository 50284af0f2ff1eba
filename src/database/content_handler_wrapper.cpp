#include "database/content_handler_wrapper.h"

#include "diagnostics/com_ptr.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "threading/cancelation_point.h"

#include <comdef.h>
#include <shlwapi.h>

namespace {

constexpr ContextSite kParseSite{"ContentHandlerWrapper::parseURL", 0};

// The element's name as the importers compare it: the local name, or the
// qualified name when the reader reports no local name.
std::wstring elementName(const wchar_t* localName, int localLength, const wchar_t* qName, int qLength) {
    if (localName != nullptr && localLength > 0) return std::wstring(localName, localLength);
    if (qName != nullptr && qLength > 0) return std::wstring(qName, qLength);
    return {};
}

[[noreturn]] void raiseComError(HRESULT hr, const std::wstring& where) {
    IErrorInfo* info = nullptr;
    if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
    throw vexception(_com_error(hr, info), where, kParseSite.function, kParseSite.line);
}

}  // namespace

template <class Body>
HRESULT ContentHandlerWrapper::guarded(const char* function, Body body) {
    try {
        SeTranslatorScope translator;
        {
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            body();
        }
        return S_OK;
    } catch (const ThreadCancelation::ThreadCanceled&) {
        // Never unwound through the parser: parseURL carries it out.
        canceled_ = true;
        errorText_ = L"Canceled";
        return E_ABORT;
    } catch (...) {
        errorText_ = currentAsVexception(ContextEntry{std::wstring(), function, 0}).fullText();
        return E_FAIL;
    }
}

SaxDocument::SaxDocument(const std::wstring& source) : source_(source) {
    // A file is handed over as a stream, which the reader consumes piece by
    // piece; given its path as a URL the reader first loads the whole
    // document into memory.
    if (::PathIsURLW(source.c_str())) return;
    const HRESULT opened = ::SHCreateStreamOnFileEx(source.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE,
                                                    FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, stream_.put());
    if (FAILED(opened)) raiseComError(opened, L"SHCreateStreamOnFileEx '" + source + L"'");
}

void SaxDocument::parse(ContentHandlerWrapper* handler) {
    handler->errorText_.clear();
    handler->canceled_ = false;
    const ScopedComInitialization com;
    ComPtr<ISAXXMLReader> reader;
    HRESULT hr = ::CoCreateInstance(msxml::kSaxReader, nullptr, CLSCTX_INPROC_SERVER, msxml::kISAXXMLReader,
                                    reader.putVoid());
    if (FAILED(hr)) raiseComError(hr, L"CoCreateInstance SAXXMLReader");
    hr = ::OleRun(reader.get());
    if (FAILED(hr)) raiseComError(hr, L"OleRun SAXXMLReader");
    // No document type definition and no external entity: a document of a
    // few bytes must not expand into gigabytes or read other files.
    static constexpr const wchar_t* kOff[] = {L"http://xml.org/sax/features/external-general-entities",
                                              L"http://xml.org/sax/features/external-parameter-entities"};
    for (const wchar_t* feature : kOff) {
        hr = reader->putFeature(feature, VARIANT_FALSE);
        if (FAILED(hr)) raiseComError(hr, std::wstring(L"ISAXXMLReader::putFeature ") + feature);
    }
    hr = reader->putFeature(L"prohibit-dtd", VARIANT_TRUE);
    if (FAILED(hr)) raiseComError(hr, L"ISAXXMLReader::putFeature prohibit-dtd");
    hr = reader->putContentHandler(handler);
    if (FAILED(hr)) raiseComError(hr, L"ISAXXMLReader::putContentHandler");
    if (stream_) {
        const LARGE_INTEGER start{};
        hr = stream_->Seek(start, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) raiseComError(hr, L"IStream::Seek '" + source_ + L"'");
        VARIANT input;
        ::VariantInit(&input);
        input.vt = VT_UNKNOWN;
        input.punkVal = stream_.get();
        hr = reader->parse(input);
    } else {
        hr = reader->parseURL(source_.c_str());
    }
    reader->putContentHandler(nullptr);
    if (handler->canceled_) throw ThreadCancelation::ThreadCanceled();
    if (SUCCEEDED(hr)) return;
    if (!handler->errorText_.empty()) throw vexception(handler->errorText_, kParseSite.entry());
    raiseComError(hr, L"ISAXXMLReader::parseURL '" + source_ + L"'");
}

void ContentHandlerWrapper::parseURL(ContentHandlerWrapper* handler, const std::wstring& source) {
    SaxDocument(source).parse(handler);
}

std::wstring ContentHandlerWrapper::attribute(ISAXAttributes* attributes, const wchar_t* name) {
    const wchar_t* value = nullptr;
    int length = 0;
    if (attributes == nullptr ||
        FAILED(attributes->getValueFromQName(name, static_cast<int>(wcslen(name)), &value, &length)) ||
        value == nullptr)
        return {};
    return std::wstring(value, length);
}

void ContentHandlerWrapper::startElement(const std::wstring&, ISAXAttributes*) {}
void ContentHandlerWrapper::endElement(const std::wstring&) {}
void ContentHandlerWrapper::characters(const std::wstring&) {}

HRESULT WINAPI ContentHandlerWrapper::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, msxml::kISAXContentHandler)) {
        *object = static_cast<ISAXContentHandler*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG WINAPI ContentHandlerWrapper::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }

ULONG WINAPI ContentHandlerWrapper::Release() { return static_cast<ULONG>(::InterlockedDecrement(&references_)); }

HRESULT WINAPI ContentHandlerWrapper::putDocumentLocator(ISAXLocator*) {
    return guarded("ContentHandlerWrapper::putDocumentLocator", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::startDocument() {
    return guarded("ContentHandlerWrapper::startDocument", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::endDocument() { return guarded("ContentHandlerWrapper::endDocument", [] {}); }

HRESULT WINAPI ContentHandlerWrapper::startPrefixMapping(const wchar_t*, int, const wchar_t*, int) {
    return guarded("ContentHandlerWrapper::startPrefixMapping", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::endPrefixMapping(const wchar_t*, int) {
    return guarded("ContentHandlerWrapper::endPrefixMapping", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                                   const wchar_t* qName, int qLength, ISAXAttributes* attributes) {
    return guarded("ContentHandlerWrapper::startElement",
                   [&] { startElement(elementName(localName, localLength, qName, qLength), attributes); });
}

HRESULT WINAPI ContentHandlerWrapper::endElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                                 const wchar_t* qName, int qLength) {
    return guarded("ContentHandlerWrapper::endElement",
                   [&] { endElement(elementName(localName, localLength, qName, qLength)); });
}

HRESULT WINAPI ContentHandlerWrapper::characters(const wchar_t* text, int length) {
    return guarded("ContentHandlerWrapper::characters",
                   [&] { characters(text != nullptr && length > 0 ? std::wstring(text, length) : std::wstring()); });
}

HRESULT WINAPI ContentHandlerWrapper::ignorableWhitespace(const wchar_t*, int) {
    return guarded("ContentHandlerWrapper::ignorableWhitespace", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::processingInstruction(const wchar_t*, int, const wchar_t*, int) {
    return guarded("ContentHandlerWrapper::processingInstruction", [] {});
}

HRESULT WINAPI ContentHandlerWrapper::skippedEntity(const wchar_t*, int) {
    return guarded("ContentHandlerWrapper::skippedEntity", [] {});
}
