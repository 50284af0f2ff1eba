// The data export (ExportTable through the MSXML writer) and the data import
// (ImportData through the SAX reader, one INSERT per row, after a first
// pass that checks the whole document, timed on its own too) of a table of
// BENCH_ROWS rows (10,000 by default), against the server's own tools doing
// the same work one statement per row: mariadb-dump --skip-extended-insert,
// and the mariadb client loading that dump. Then quarndb.exe itself exports
// and imports the table, and its peak working set is compared with the same
// work on a 10,000-row table. Needs the sandbox server's settings in the
// registry (scripts/test and scripts/demo lay them out) and the native
// client tools (QUARN_NATIVE_BIN, /usr/bin by default), which run through
// the native /bin/sh that Wine starts as a Unix program. BENCH_NATIVE_IMPORT=0
// leaves out the native client's import (a commit per row). BENCH_DEBUG (0 or
// 1) runs it with "Debug" set so; without it the layout's setting holds.
#include "bench_timing.h"
#include "database/document_check.h"
#include "database/msxml_classes.h"
#include "database/mysql_database_provider.h"
#include "database/xml_export_writer.h"
#include "diagnostics/com_ptr.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "native_client.h"
#include "sandbox_database.h"

#include <mysql.h>
#include <objbase.h>
#include <psapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kBaseRows = 10000;
constexpr const wchar_t* kTable = L"bench_rows";

double secondsOf(const std::function<void()>& body) { return microsecondsPerCall(1, body) / 1e6; }

// A database of its own holding `rows` rows in kTable, and the identity
// table every product database has (the import reseeds it).
void createDatabase(MySQLDatabaseProvider& provider, const std::wstring& database, int rows) {
    provider.execute(L"CREATE DATABASE `" + database + L"` DEFAULT CHARSET=utf8");
    provider.use(database);
    provider.execute(std::wstring(L"CREATE TABLE ") + kTable +
                     L" (id int PRIMARY KEY, login varchar(64) NOT NULL, note varchar(255) NULL, amount int)"
                     L" ENGINE=InnoDB DEFAULT CHARSET=utf8");
    provider.execute(L"CREATE TABLE ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, val int(10))");
    for (int first = 0; first < rows; first += 500) {
        std::wstring sql = std::wstring(L"INSERT INTO ") + kTable + L" VALUES ";
        for (int id = first; id < std::min(first + 500, rows); ++id)
            sql += (id > first ? L"," : L"") + format(L"(%d,'user%d',%s,%d)", id, id,
                                                      id % 7 ? L"'a note with <markup> & \"quotes\"'" : L"NULL",
                                                      id * 3);
        provider.execute(sql);
    }
}

void check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw std::runtime_error(std::string("raw export: ") + what);
}

// The floor of the export: the client library's rows and MSXML's writer
// called directly, writing the document that ExportTable and
// XmlExportWriter write (the same elements, attributes and line breaks).
void rawExport(st_mysql* connection, const std::wstring& path) {
    ComPtr<IStream> stream;
    check(::SHCreateStreamOnFileEx(path.c_str(), STGM_CREATE | STGM_WRITE | STGM_SHARE_DENY_WRITE,
                                   FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, stream.put()),
          "stream");
    ComPtr<IMXWriter> writer;
    ComPtr<ISAXContentHandler> content;
    ComPtr<IMXAttributes> attributes;
    ComPtr<ISAXAttributes> list;
    check(::CoCreateInstance(msxml::kXmlWriter, nullptr, CLSCTX_INPROC_SERVER, msxml::kIMXWriter, writer.putVoid()),
          "writer");
    check(writer->QueryInterface(msxml::kISAXContentHandler, content.putVoid()), "content");
    check(::CoCreateInstance(msxml::kSaxAttributes, nullptr, CLSCTX_INPROC_SERVER, msxml::kIMXAttributes,
                             attributes.putVoid()),
          "attributes");
    check(attributes->QueryInterface(msxml::kISAXAttributes, list.putVoid()), "list");
    UniqueBstr encoding{std::wstring(L"UTF-8")}, empty{std::wstring()}, cdata{std::wstring(L"CDATA")};
    UniqueBstr name{std::wstring(L"name")}, isnull{std::wstring(L"isnull")}, yes{std::wstring(L"true")};
    UniqueBstr table{std::wstring(kTable)};
    writer->put_encoding(encoding.get());
    writer->put_byteOrderMark(VARIANT_FALSE);
    writer->put_indent(VARIANT_FALSE);
    writer->put_standalone(VARIANT_TRUE);
    VARIANT output;
    ::VariantInit(&output);
    output.vt = VT_UNKNOWN;
    output.punkVal = stream.get();
    check(writer->put_output(output), "output");
    const auto start = [&](const wchar_t* element, int length) {
        content->startElement(L"", 0, element, length, element, length, list.get());
        attributes->clear();
    };
    const auto end = [&](const wchar_t* element, int length) {
        content->endElement(L"", 0, element, length, element, length);
    };
    content->startDocument();
    start(L"data", 4);
    content->characters(L"\n\t", 2);
    attributes->addAttribute(empty.get(), name.get(), name.get(), cdata.get(), table.get());
    start(L"table", 5);
    const std::string sql = "select * from `" + cstr(kTable) + "`";
    if (mysql_real_query(connection, sql.data(), static_cast<unsigned long>(sql.size())) != 0)
        throw std::runtime_error("raw export: query");
    MYSQL_RES* result = mysql_store_result(connection);
    const unsigned fields = mysql_num_fields(result);
    std::vector<UniqueBstr> names;
    for (unsigned i = 0; i < fields; ++i) names.emplace_back(wstr(mysql_fetch_field_direct(result, i)->name, CP_UTF8));
    std::vector<wchar_t> text(256);
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        const unsigned long* lengths = mysql_fetch_lengths(result);
        content->characters(L"\n\t\t", 3);
        start(L"row", 3);
        for (unsigned i = 0; i < fields; ++i) {
            content->characters(L"\n\t\t\t", 4);
            attributes->addAttribute(empty.get(), name.get(), name.get(), cdata.get(), names[i].get());
            if (row[i] == nullptr) attributes->addAttribute(empty.get(), isnull.get(), isnull.get(), cdata.get(), yes.get());
            start(L"field", 5);
            if (row[i] != nullptr && lengths[i] > 0) {
                if (text.size() < lengths[i]) text.resize(lengths[i]);
                const int units = ::MultiByteToWideChar(CP_UTF8, 0, row[i], static_cast<int>(lengths[i]), text.data(),
                                                        static_cast<int>(text.size()));
                content->characters(text.data(), units);
            }
            end(L"field", 5);
        }
        content->characters(L"\n\t\t", 3);
        end(L"row", 3);
    }
    mysql_free_result(result);
    content->characters(L"\n\t", 2);
    end(L"table", 5);
    content->characters(L"\n", 1);
    end(L"data", 4);
    content->endDocument();
    check(writer->flush(), "flush");
    check(stream->Commit(STGC_DEFAULT), "commit");
}

// With BENCH_DEBUG set to 0 or 1, sets "Debug" for this run before
// anything logs, so that this process and quarndb run as a process started
// with that setting; the value before is put back at the end.
class DebugSetting {
public:
    DebugSetting() {
        const wchar_t* wanted = _wgetenv(L"BENCH_DEBUG");
        if (!wanted || !*wanted ||
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quarn\\ZRT Config\\Config", 0, nullptr, 0,
                              KEY_READ | KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key_, nullptr) != ERROR_SUCCESS)
            return;
        DWORD size = sizeof(old_);
        had_ = ::RegQueryValueExW(key_, L"Debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&old_), &size) ==
               ERROR_SUCCESS;
        const DWORD value = _wtoi(wanted) != 0 ? 1 : 0;
        ::RegSetValueExW(key_, L"Debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
    ~DebugSetting() {
        if (!key_) return;
        if (had_)
            ::RegSetValueExW(key_, L"Debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old_), sizeof(old_));
        else
            ::RegDeleteValueW(key_, L"Debug");
        ::RegCloseKey(key_);
    }
    DebugSetting(const DebugSetting&) = delete;
    DebugSetting& operator=(const DebugSetting&) = delete;

private:
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool had_ = false;
};

struct Run {
    double peak = 0;     // the peak working set, MB
    double seconds = 0;  // from the start to the end of the process
};

// Runs quarndb.exe (beside this program) with `arguments` on `database`;
// its peak working set is polled while it runs.
Run runQuarnDb(const sandboxkit::DatabaseSettings& s, const std::wstring& database, const std::wstring& arguments) {
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\'));
    const std::pair<const wchar_t*, std::wstring> environment[] = {
        {L"QUARN_DB_HOST", s.host},          {L"QUARN_DB_PORT", s.port}, {L"QUARN_DB_LOGIN", s.adminLogin},
        {L"QUARN_DB_PASSWD", s.adminPassword}, {L"QUARN_DB_NAME", database},
    };
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name, value.c_str());
    std::wstring line = L"\"" + folder + L"\\quarndb.exe\" " + arguments + L" --quiet";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER frequency, begin, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start quarndb.exe");
    UniqueHandle handle(process.hProcess), thread(process.hThread);
    SIZE_T peak = 0;
    do {
        PROCESS_MEMORY_COUNTERS counters{};
        counters.cb = sizeof(counters);
        if (::K32GetProcessMemoryInfo(handle.get(), &counters, sizeof(counters)))
            peak = std::max(peak, counters.PeakWorkingSetSize);
    } while (::WaitForSingleObject(handle.get(), 20) == WAIT_TIMEOUT);
    ::QueryPerformanceCounter(&end);
    for (const auto& [name, value] : environment) ::SetEnvironmentVariableW(name, nullptr);
    DWORD code = 1;
    ::GetExitCodeProcess(handle.get(), &code);
    if (code != 0) throw std::runtime_error("quarndb.exe failed: " + cstr(arguments));
    return {static_cast<double>(peak) / (1024 * 1024), double(end.QuadPart - begin.QuadPart) / double(frequency.QuadPart)};
}

}  // namespace

int main() {
    const DebugSetting debug;
    try {
        ::CoInitialize(nullptr);
        const wchar_t* rowsText = _wgetenv(L"BENCH_ROWS");
        const int rows = rowsText && _wtoi(rowsText) > 0 ? _wtoi(rowsText) : kBaseRows;
        const sandboxkit::DatabaseSettings s = sandboxkit::databaseSettings();
        const int32_t port = static_cast<int32_t>(_wtol(s.port.c_str()));
        const std::wstring database = L"bench_xml_" + std::to_wstring(::GetCurrentProcessId());
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        const std::wstring xmlFile = std::wstring(temp) + database + L".xml";

        MySQLDatabaseProvider provider;
        provider.connect(s.host, L"", s.adminLogin, s.adminPassword, port, L"");
        createDatabase(provider, database, rows);

        // The native tools run on the Unix side, with their files in /tmp.
        const std::wstring bin = nativeclient::binFolder();
        const std::wstring dumpFile = L"/tmp/" + database + L".sql", marker = L"/tmp/" + database + L".done";
        const std::wstring connection =
            nativeclient::connectionArguments(s.host, s.port, s.adminLogin, s.adminPassword);
        // Interleaved rounds, the best of each: the export is short.
        double nativeExport = 1e300, projectExport = 1e300, floorExport = 1e300;
        for (int round = 0; round < 3; ++round) {
            nativeExport = std::min(nativeExport, secondsOf([&] {
                nativeclient::run(bin + L"/mariadb-dump" + connection + L"--skip-extended-insert " + database +
                                      L" " + kTable + L" > " + dumpFile,
                                  marker);
            }));
            floorExport = std::min(floorExport, secondsOf([&] { rawExport(provider.handle(), xmlFile); }));
            projectExport = std::min(projectExport, secondsOf([&] {
                XmlExportWriter writer(xmlFile);
                provider.ExportTable(&writer, kTable);
                writer.finish();
            }));
        }
        // The native client pays a commit per row: past five times the base
        // size its import alone would outlast the benchmark's time.
        // BENCH_NATIVE_IMPORT=0 leaves it out: where every commit waits for
        // a slow disk, it alone outlasts the run at any size.
        const wchar_t* nativeImportWanted = _wgetenv(L"BENCH_NATIVE_IMPORT");
        const bool native =
            rows <= 5 * kBaseRows && !(nativeImportWanted != nullptr && std::wstring(nativeImportWanted) == L"0");
        double nativeImport = 0;
        if (native)
            nativeImport = secondsOf(
                [&] { nativeclient::run(bin + L"/mariadb" + connection + database + L" < " + dumpFile, marker); });
        // In the program at the base size; at other sizes the import is
        // quarndb's below, which is measured in any case.
        double projectImport = 0, checkPass = 1e300;
        if (rows == kBaseRows) {
            projectImport = secondsOf(
                [&] { provider.ImportData(xmlFile, s.host, database, s.adminLogin, s.adminPassword, port, L""); });
            // The pass over the whole document that the import makes before
            // its first statement, on its own.
            for (int round = 0; round < 3; ++round)
                checkPass = std::min(checkPass, secondsOf([&] {
                    SaxDocument document(xmlFile);
                    DocumentCheck(DocumentKind::Data).run(document);
                }));
            RecordSetRef count(provider.query(std::wstring(L"SELECT COUNT(*) FROM ") + kTable));
            if (!count->next() || count->getString(0, L"", false) != std::to_wstring(rows))
                throw std::runtime_error("the import did not bring back every row");
        }
        ::DeleteFileW((L"Z:" + dumpFile).c_str());

        // quarndb itself, at this size and at the base size.
        const std::wstring quoted = L"\"" + xmlFile + L"\"";
        const Run exportRun = runQuarnDb(s, database, L"export " + quoted);
        const Run importRun = runQuarnDb(s, database, L"import-data " + quoted);
        provider.execute(L"DROP DATABASE `" + database + L"`");
        Run baseExport = exportRun, baseImport = importRun;
        if (rows != kBaseRows) {
            const std::wstring base = database + L"_base";
            createDatabase(provider, base, kBaseRows);
            baseExport = runQuarnDb(s, base, L"export " + quoted);
            baseImport = runQuarnDb(s, base, L"import-data " + quoted);
            provider.execute(L"DROP DATABASE `" + base + L"`");
        }
        ::DeleteFileW(xmlFile.c_str());

        const std::string size = std::to_string(rows);
        printResult(("XML export of " + size + " rows (ExportTable) / mariadb-dump --skip-extended-insert").c_str(),
                    projectExport, nativeExport, "s");
        printResult(("XML export of " + size + " rows (ExportTable) / raw rows and MSXML writer").c_str(),
                    projectExport, floorExport, "s");
        if (rows == kBaseRows) {
            if (native)
                printResult("XML import of 10000 rows (ImportData) / mariadb < that dump", projectImport, nativeImport,
                            "s");
            printResult("its check pass before the first statement / the whole ImportData", checkPass, projectImport,
                        "s");
        }
        else if (native)
            printResult(("quarndb import-data of " + size + " rows / mariadb < that dump").c_str(), importRun.seconds,
                        nativeImport, "s");
        printResult(("quarndb export, per row, " + size + " rows / 10000 rows").c_str(),
                    exportRun.seconds * 1e6 / rows, baseExport.seconds * 1e6 / kBaseRows, "us");
        printResult(("quarndb import-data, per row, " + size + " rows / 10000 rows").c_str(),
                    importRun.seconds * 1e6 / rows, baseImport.seconds * 1e6 / kBaseRows, "us");
        printResult(("quarndb export, peak working set, " + size + " rows / 10000 rows").c_str(), exportRun.peak,
                    baseExport.peak, "MB");
        printResult(("quarndb import-data, peak working set, " + size + " rows / 10000 rows").c_str(),
                    importRun.peak, baseImport.peak, "MB");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
