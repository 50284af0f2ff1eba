#include "database/xml_export_writer.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

#include <comdef.h>
#include <shlwapi.h>

namespace {

constexpr ContextSite kWriterSite{"XmlExportWriter", 0};
constexpr const wchar_t* kRoot = L"data";
// How long finish waits for a backup file another program holds: ten
// tries 200 ms apart.
constexpr int kReplaceAttempts = 10;
constexpr DWORD kReplacePause = 200;

[[noreturn]] void raise(HRESULT hr, const std::wstring& where) {
    IErrorInfo* info = nullptr;
    if (::GetErrorInfo(0, &info) != S_OK) info = nullptr;
    throw vexception(_com_error(hr, info), where, kWriterSite.function, kWriterSite.line);
}

// Raises the COM error of a failed `call`, naming `subject` (an element, an
// attribute, a file) when there is one. The text is built only then: these
// checks run several times for every field of an export.
inline void check(HRESULT hr, const wchar_t* call, const std::wstring& subject = std::wstring()) {
    if (FAILED(hr)) raise(hr, subject.empty() ? std::wstring(call) : std::wstring(call) + L" '" + subject + L"'");
}

HRESULT startNamed(ISAXContentHandler* content, const std::wstring& name, ISAXAttributes* attributes) {
    const int length = static_cast<int>(name.size());
    return content->startElement(L"", 0, name.c_str(), length, name.c_str(), length, attributes);
}

HRESULT endNamed(ISAXContentHandler* content, const std::wstring& name) {
    const int length = static_cast<int>(name.size());
    return content->endElement(L"", 0, name.c_str(), length, name.c_str(), length);
}

}  // namespace

XmlExportWriter::XmlExportWriter(const std::wstring& path) : path_(path) {
    // Beside the target, so that finish replaces it within one volume.
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring directory = slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash + 1);
    wchar_t temporary[MAX_PATH] = {};
    if (::GetTempFileNameW(directory.c_str(), L"qdb", 0, temporary) == 0)
        raiseOsError(L"GetTempFileName '" + directory + L"'", ::GetLastError(), kWriterSite.entry());
    temporary_ = temporary;
    try {
        check(::SHCreateStreamOnFileEx(temporary_.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_DENY_WRITE,
                                       FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, stream_.put()),
              L"SHCreateStreamOnFileEx", temporary_);
        start();
    } catch (...) {
        releaseOutput();
        ::DeleteFileW(temporary_.c_str());
        throw;
    }
}

XmlExportWriter::~XmlExportWriter() {
    releaseOutput();
    if (!temporary_.empty()) ::DeleteFileW(temporary_.c_str());
}

void XmlExportWriter::releaseOutput() {
    attributeList_.reset();
    attributes_.reset();
    content_.reset();
    writer_.reset();
    stream_.reset();
}

void XmlExportWriter::start() {
    check(::CoCreateInstance(msxml::kXmlWriter, nullptr, CLSCTX_INPROC_SERVER, msxml::kIMXWriter,
                             writer_.putVoid()),
          L"CoCreateInstance MXXMLWriter30");
    check(writer_->QueryInterface(msxml::kISAXContentHandler, content_.putVoid()),
          L"IMXWriter::QueryInterface ISAXContentHandler");
    check(::CoCreateInstance(msxml::kSaxAttributes, nullptr, CLSCTX_INPROC_SERVER, msxml::kIMXAttributes,
                             attributes_.putVoid()),
          L"CoCreateInstance SAXAttributes30");
    check(attributes_->QueryInterface(msxml::kISAXAttributes, attributeList_.putVoid()),
          L"IMXAttributes::QueryInterface ISAXAttributes");
    UniqueBstr encoding(std::wstring(L"UTF-8"));
    check(writer_->put_encoding(encoding.get()), L"IMXWriter::put_encoding");
    check(writer_->put_byteOrderMark(VARIANT_FALSE), L"IMXWriter::put_byteOrderMark");
    check(writer_->put_indent(VARIANT_FALSE), L"IMXWriter::put_indent");
    check(writer_->put_standalone(VARIANT_TRUE), L"IMXWriter::put_standalone");
    VARIANT output;
    ::VariantInit(&output);
    output.vt = VT_UNKNOWN;
    output.punkVal = stream_.get();
    check(writer_->put_output(output), L"IMXWriter::put_output");
    check(content_->startDocument(), L"ISAXContentHandler::startDocument");
    startElement(kRoot);
}

const UniqueBstr* XmlExportWriter::cachedBstr(const std::wstring& text) {
    for (const auto& [cached, bstr] : bstrs_)
        if (cached == text) return &bstr;
    if (bstrs_.size() >= kCachedBstrs) return nullptr;
    return &bstrs_.emplace_back(text, UniqueBstr(text)).second;
}

void XmlExportWriter::setAttribute(const std::wstring& name, const std::wstring& value) {
    // The names, and the values of most attributes (column names, "true"),
    // repeat on every row: their BSTRs are made once. The list copies what
    // it is given.
    const UniqueBstr* qName = cachedBstr(name);
    const UniqueBstr* cachedValue = cachedBstr(value);
    UniqueBstr ownName, ownValue;
    if (qName == nullptr) qName = &(ownName = UniqueBstr(name));
    if (cachedValue == nullptr) cachedValue = &(ownValue = UniqueBstr(value));
    check(attributes_->addAttribute(empty_.get(), qName->get(), qName->get(), cdata_.get(), cachedValue->get()),
          L"IMXAttributes::addAttribute", name);
}

void XmlExportWriter::lineBreak() {
    if (indents_.size() <= static_cast<size_t>(depth_)) indents_.resize(depth_ + 1);
    std::wstring& text = indents_[depth_];
    if (text.empty()) text = L"\n" + std::wstring(depth_, L'\t');
    // As character data: Wine's writer puts ignorable white space before
    // the ">" of a start tag it has not closed yet.
    check(content_->characters(text.c_str(), static_cast<int>(text.size())), L"ISAXContentHandler::characters");
}

void XmlExportWriter::startElement(const std::wstring& name) {
    if (depth_ > 0) lineBreak();
    const HRESULT hr = startNamed(content_.get(), name, attributeList_.get());
    attributes_->clear();
    check(hr, L"ISAXContentHandler::startElement", name);
    ++depth_;
    hadChildren_ = false;
}

void XmlExportWriter::characters(const std::wstring& text) {
    // A carriage return in character data reads back as a line feed; as the
    // reference &#13; it reads back as itself (though not with Wine's
    // reader, which turns it into a line feed all the same).
    size_t begin = 0;
    while (begin <= text.size()) {
        const size_t end = std::min(text.find(L'\r', begin), text.size());
        if (end > begin)
            check(content_->characters(text.c_str() + begin, static_cast<int>(end - begin)),
                  L"ISAXContentHandler::characters");
        if (end == text.size()) break;
        check(writer_->put_disableOutputEscaping(VARIANT_TRUE), L"IMXWriter::put_disableOutputEscaping");
        const HRESULT hr = content_->characters(L"&#13;", 5);
        check(writer_->put_disableOutputEscaping(VARIANT_FALSE), L"IMXWriter::put_disableOutputEscaping");
        check(hr, L"ISAXContentHandler::characters");
        begin = end + 1;
    }
}

void XmlExportWriter::endElement(const std::wstring& name) {
    --depth_;
    if (hadChildren_) lineBreak();
    check(endNamed(content_.get(), name), L"ISAXContentHandler::endElement", name);
    hadChildren_ = true;
}

void XmlExportWriter::finish() {
    endElement(kRoot);
    check(content_->endDocument(), L"ISAXContentHandler::endDocument");
    check(writer_->flush(), L"IMXWriter::flush");
    check(stream_->Commit(STGC_DEFAULT), L"IStream::Commit");
    releaseOutput();
    // On the disk before it takes the backup's place: a crash after the
    // rename must not leave an empty or partial backup behind.
    {
        UniqueFileHandle file(::CreateFileW(temporary_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file || !::FlushFileBuffers(file.get()))
            raiseOsError(L"FlushFileBuffers '" + temporary_ + L"'", ::GetLastError(), kWriterSite.entry());
    }
    // A program that looks at every new file (a virus scanner) may hold it,
    // or the earlier backup, for a moment.
    for (int attempt = 1;; ++attempt) {
        const DWORD error = replaceTarget();
        if (error == ERROR_SUCCESS) break;
        const bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
                          error == ERROR_ACCESS_DENIED || error == ERROR_UNABLE_TO_MOVE_REPLACEMENT ||
                          error == ERROR_UNABLE_TO_REMOVE_REPLACED;
        if (!held || attempt >= kReplaceAttempts)
            raiseOsError(L"Replacing '" + path_ + L"' with '" + temporary_ + L"'", error, kWriterSite.entry());
        ::Sleep(kReplacePause);
    }
    temporary_.clear();
}

DWORD XmlExportWriter::replaceTarget() {
    // ReplaceFileW keeps the earlier backup's access rights and attributes;
    // a first backup is simply moved into place.
    if (::ReplaceFileW(path_.c_str(), temporary_.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                       nullptr))
        return ERROR_SUCCESS;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return error;
    if (::GetFileAttributesW(path_.c_str()) != INVALID_FILE_ATTRIBUTES) return error;
    if (::MoveFileExW(temporary_.c_str(), path_.c_str(), MOVEFILE_WRITE_THROUGH)) return ERROR_SUCCESS;
    return ::GetLastError();
}
