// The data export (ExportTable through the MSXML writer) and the data import
// (ImportData through the SAX reader, one INSERT per row) of a 10,000-row
// table, against the server's own tools doing the same work one statement
// per row: mariadb-dump --skip-extended-insert, and the mariadb client
// loading that dump. Needs the sandbox server's settings in the registry
// (scripts/test and scripts/demo lay them out) and the native client tools
// (QUARN_NATIVE_BIN, /usr/bin by default), which Wine starts as Unix
// programs.
#include "bench_timing.h"
#include "database/mysql_database_provider.h"
#include "database/xml_export_writer.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"
#include "diagnostics/text.h"
#include "sandbox_database.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

constexpr int kRows = 10000;
constexpr const wchar_t* kTable = L"bench_rows";

std::wstring nativeTool(const wchar_t* name) {
    const wchar_t* folder = _wgetenv(L"QUARN_NATIVE_BIN");
    std::wstring unixPath = std::wstring(folder && *folder ? folder : L"/usr/bin") + L"/" + name;
    for (wchar_t& c : unixPath)
        if (c == L'/') c = L'\\';
    return L"Z:" + unixPath;
}

// Runs a native tool with standard input and output on files (empty: none)
// and raises when it fails.
void runNative(const std::wstring& commandLine, const std::wstring& input, const std::wstring& output) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    UniqueFileHandle in, out;
    if (!input.empty())
        in.reset(::CreateFileW(input.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0, nullptr));
    if (!output.empty())
        out.reset(::CreateFileW(output.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in ? in.get() : ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out ? out.get() : ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring line = commandLine;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start " + cstr(commandLine));
    UniqueHandle processHandle(process.hProcess), thread(process.hThread);
    ::WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(processHandle.get(), &code);
    if (code != 0) throw std::runtime_error(cstr(commandLine) + " failed with " + std::to_string(code));
}

double secondsOf(const std::function<void()>& body) { return microsecondsPerCall(1, body) / 1e6; }

}  // namespace

int main() {
    try {
        ::CoInitialize(nullptr);
        const sandboxkit::DatabaseSettings s = sandboxkit::databaseSettings();
        const int32_t port = static_cast<int32_t>(_wtol(s.port.c_str()));
        const std::wstring database = L"bench_xml_" + std::to_wstring(::GetCurrentProcessId());
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        const std::wstring xmlFile = std::wstring(temp) + database + L".xml";
        const std::wstring dumpFile = std::wstring(temp) + database + L".sql";

        MySQLDatabaseProvider provider;
        provider.connect(s.host, L"", s.adminLogin, s.adminPassword, port, L"");
        provider.execute(L"CREATE DATABASE `" + database + L"` DEFAULT CHARSET=utf8");
        provider.use(database);
        provider.execute(std::wstring(L"CREATE TABLE ") + kTable +
                         L" (id int PRIMARY KEY, login varchar(64) NOT NULL, note varchar(255) NULL, amount int)"
                         L" ENGINE=InnoDB DEFAULT CHARSET=utf8");
        for (int first = 0; first < kRows; first += 500) {
            std::wstring sql = std::wstring(L"INSERT INTO ") + kTable + L" VALUES ";
            for (int id = first; id < first + 500; ++id)
                sql += (id > first ? L"," : L"") + format(L"(%d,'user%d',%s,%d)", id, id,
                                                          id % 7 ? L"'a note with <markup> & \"quotes\"'" : L"NULL",
                                                          id * 3);
            provider.execute(sql);
        }

        // The client tools take the password from the environment, never
        // from their command line.
        ::SetEnvironmentVariableW(L"MYSQL_PWD", s.adminPassword.c_str());
        const std::wstring connection = L" --no-defaults --protocol=tcp -h " + s.host + L" -P " + s.port + L" -u " +
                                        s.adminLogin + L" ";
        const double nativeExport = secondsOf([&] {
            runNative(nativeTool(L"mariadb-dump") + connection + L"--skip-extended-insert " + database + L" " +
                          kTable,
                      L"", dumpFile);
        });
        const double projectExport = secondsOf([&] {
            XmlExportWriter writer(xmlFile);
            provider.ExportTable(&writer, kTable);
            writer.finish();
        });
        const double nativeImport =
            secondsOf([&] { runNative(nativeTool(L"mariadb") + connection + database, dumpFile, L""); });
        const double projectImport = secondsOf(
            [&] { provider.ImportData(xmlFile, s.host, database, s.adminLogin, s.adminPassword, port, L""); });

        RecordSetRef count(provider.query(std::wstring(L"SELECT COUNT(*) FROM ") + kTable));
        const bool complete = count->next() && count->getString(0, L"", false) == std::to_wstring(kRows);
        provider.execute(L"DROP DATABASE `" + database + L"`");
        ::DeleteFileW(xmlFile.c_str());
        ::DeleteFileW(dumpFile.c_str());
        if (!complete) throw std::runtime_error("the import did not bring back every row");

        std::printf("%d rows, one statement per row on import\n", kRows);
        std::printf("export: mariadb-dump --skip-extended-insert %.2f s, ExportTable to XML %.2f s: %6.2fx\n",
                    nativeExport, projectExport, projectExport / nativeExport);
        std::printf("import: mariadb < dump                    %.2f s, ImportData from XML %.2f s: %6.2fx\n",
                    nativeImport, projectImport, projectImport / nativeImport);
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
