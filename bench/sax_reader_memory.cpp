// The peak working set of MSXML's SAX reader alone reading a data document
// of BENCH_ROWS rows (10,000 by default) with a content handler that does
// nothing, against the same for 10,000 rows: the part of quarndb
// import-data's memory that is the reader's. The document is the one the
// export writes for database_xml_transfer's table; it goes to the reader as
// a file stream, as the import hands it over. Each size is read in a
// process of its own (this program, started with --read FILE), whose peak
// is polled while it runs. The reader's time per row at both sizes is
// measured in this process.
#include "bench_timing.h"
#include "database/msxml_classes.h"
#include "diagnostics/com_ptr.h"
#include "diagnostics/handles.h"

#include <objbase.h>
#include <psapi.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kBaseRows = 10000;

// Takes every event and does nothing with it.
class IdleHandler : public ISAXContentHandler {
public:
    HRESULT WINAPI QueryInterface(REFIID iid, void** object) override {
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, msxml::kISAXContentHandler)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<ISAXContentHandler*>(this);
        return S_OK;
    }
    // Lives on the stack of the one who reads.
    ULONG WINAPI AddRef() override { return 2; }
    ULONG WINAPI Release() override { return 1; }
    HRESULT WINAPI putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT WINAPI startDocument() override { return S_OK; }
    HRESULT WINAPI endDocument() override { return S_OK; }
    HRESULT WINAPI startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int,
                                ISAXAttributes*) override {
        return S_OK;
    }
    HRESULT WINAPI endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI characters(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT WINAPI skippedEntity(const wchar_t*, int) override { return S_OK; }
};

int read(const wchar_t* path) {
    ::CoInitialize(nullptr);
    IdleHandler handler;
    ComPtr<ISAXXMLReader> reader;
    ComPtr<IStream> stream;
    if (FAILED(::CoCreateInstance(msxml::kSaxReader, nullptr, CLSCTX_INPROC_SERVER, msxml::kISAXXMLReader,
                                  reader.putVoid())) ||
        FAILED(reader->putContentHandler(&handler)) ||
        FAILED(::SHCreateStreamOnFileEx(path, STGM_READ, FILE_ATTRIBUTE_NORMAL, FALSE, nullptr, stream.put())))
        return 2;
    VARIANT input;
    ::VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = stream.get();
    const HRESULT hr = reader->parse(input);
    reader->putContentHandler(nullptr);
    return SUCCEEDED(hr) ? 0 : 1;
}

// The document of `rows` rows, written in pieces.
void writeDocument(const std::wstring& path, int rows) {
    UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<data>\n\t<table name=\"bench_rows\">";
    DWORD written = 0;
    for (int id = 0; id <= rows; ++id) {
        if (id % 1000 == 0 || id == rows) {
            if (id == rows) text += "\n\t</table>\n</data>";
            ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            text.clear();
        }
        if (id == rows) break;
        const std::string n = std::to_string(id);
        text += "\n\t\t<row>\n\t\t\t<field name=\"id\">" + n + "</field>\n\t\t\t<field name=\"login\">user" + n +
                "</field>\n\t\t\t" +
                (id % 7 ? "<field name=\"note\">a note with &lt;markup&gt; &amp; \"quotes\"</field>"
                        : "<field name=\"note\" isnull=\"true\"/>") +
                "\n\t\t\t<field name=\"amount\">" + std::to_string(id * 3) + "</field>\n\t\t</row>";
    }
}

// Reads `path` in a process of its own; its peak working set in MB.
double peakOfRead(const std::wstring& path) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" --read \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 0;
    UniqueHandle handle(process.hProcess), thread(process.hThread);
    SIZE_T peak = 0;
    do {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof(counters);
        if (::K32GetProcessMemoryInfo(handle.get(), &counters, sizeof(counters)))
            peak = std::max(peak, counters.PeakWorkingSetSize);
    } while (::WaitForSingleObject(handle.get(), 20) == WAIT_TIMEOUT);
    DWORD code = 1;
    ::GetExitCodeProcess(handle.get(), &code);
    return code == 0 ? static_cast<double>(peak) / (1024 * 1024) : 0;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argv && argc == 3 && std::wstring(argv[1]) == L"--read") return read(argv[2]);
    const wchar_t* rowsText = _wgetenv(L"BENCH_ROWS");
    const int rows = rowsText && _wtoi(rowsText) > 0 ? _wtoi(rowsText) : kBaseRows;
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"sax_base.xml", sized = std::wstring(temp) + L"sax_sized.xml";
    writeDocument(base, kBaseRows);
    writeDocument(sized, rows);
    const double basePeak = peakOfRead(base), peak = peakOfRead(sized);
    const double baseTime = microsecondsPerCall(1, [&] { read(base.c_str()); }) / kBaseRows;
    const double time = microsecondsPerCall(1, [&] { read(sized.c_str()); }) / rows;
    ::DeleteFileW(base.c_str());
    ::DeleteFileW(sized.c_str());
    if (basePeak == 0 || peak == 0) {
        std::printf("the reader failed\n");
        return 1;
    }
    const std::string name =
        "MSXML SAX reader, idle handler, peak working set, " + std::to_string(rows) + " rows / 10000 rows";
    printResult(name.c_str(), peak, basePeak, "MB");
    const std::string perRow = "MSXML SAX reader, idle handler, per row, " + std::to_string(rows) + " rows / 10000 rows";
    printResult(perRow.c_str(), time, baseTime, "us");
    return 0;
}
