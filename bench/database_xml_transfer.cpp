// The data export (ExportTable through the MSXML writer) and the data import
// (ImportData through the SAX reader, one INSERT per row) of a 10,000-row
// table, against the server's own tools doing the same work one statement
// per row: mariadb-dump --skip-extended-insert, and the mariadb client
// loading that dump. Needs the sandbox server's settings in the registry
// (scripts/test and scripts/demo lay them out) and the native client tools
// (QUARN_NATIVE_BIN, /usr/bin by default), which run through the native
// /bin/sh that Wine starts as a Unix program.
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

// Runs `command` in the native shell and waits for it. Wine starts a Unix
// program but gives back no process to wait for, so the shell leaves the
// command's exit status in `marker` (a Unix path) when it is done.
void runNative(const std::wstring& command, const std::wstring& marker) {
    const std::wstring windowsMarker = L"Z:" + marker;
    ::DeleteFileW(windowsMarker.c_str());
    std::wstring line = L"Z:\\bin\\sh -c \"" + command + L"; echo $? > " + marker + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("cannot start the native shell");
    ::CloseHandle(process.hProcess);
    ::CloseHandle(process.hThread);
    std::string status;
    for (int waited = 0; status.find('\n') == std::string::npos; waited += 5) {
        if (waited > 600000) throw std::runtime_error("the native command did not end");
        ::Sleep(5);
        UniqueFileHandle file(::CreateFileW(windowsMarker.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        if (!file) continue;
        char buffer[16];
        DWORD read = 0;
        if (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) status.assign(buffer, read);
    }
    if (std::atoi(status.c_str()) != 0) throw std::runtime_error("the native command failed: " + status);
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

        MySQLDatabaseProvider provider;
        provider.connect(s.host, L"", s.adminLogin, s.adminPassword, port, L"");
        provider.execute(L"CREATE DATABASE `" + database + L"` DEFAULT CHARSET=utf8");
        provider.use(database);
        provider.execute(std::wstring(L"CREATE TABLE ") + kTable +
                         L" (id int PRIMARY KEY, login varchar(64) NOT NULL, note varchar(255) NULL, amount int)"
                         L" ENGINE=InnoDB DEFAULT CHARSET=utf8");
        // The identity table every product database has; the import reseeds it.
        provider.execute(L"CREATE TABLE ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, val int(10))");
        for (int first = 0; first < kRows; first += 500) {
            std::wstring sql = std::wstring(L"INSERT INTO ") + kTable + L" VALUES ";
            for (int id = first; id < first + 500; ++id)
                sql += (id > first ? L"," : L"") + format(L"(%d,'user%d',%s,%d)", id, id,
                                                          id % 7 ? L"'a note with <markup> & \"quotes\"'" : L"NULL",
                                                          id * 3);
            provider.execute(sql);
        }

        // The native tools run on the Unix side, with their files in /tmp.
        const wchar_t* folder = _wgetenv(L"QUARN_NATIVE_BIN");
        const std::wstring bin = folder && *folder ? folder : L"/usr/bin";
        const std::wstring dumpFile = L"/tmp/" + database + L".sql", marker = L"/tmp/" + database + L".done";
        const std::wstring connection = L" --no-defaults --protocol=tcp -h " + s.host + L" -P " + s.port + L" -u " +
                                        s.adminLogin + L" --password='" + s.adminPassword + L"' ";
        const double nativeExport = secondsOf([&] {
            runNative(bin + L"/mariadb-dump" + connection + L"--skip-extended-insert " + database + L" " + kTable +
                          L" > " + dumpFile,
                      marker);
        });
        const double projectExport = secondsOf([&] {
            XmlExportWriter writer(xmlFile);
            provider.ExportTable(&writer, kTable);
            writer.finish();
        });
        const double nativeImport =
            secondsOf([&] { runNative(bin + L"/mariadb" + connection + database + L" < " + dumpFile, marker); });
        const double projectImport = secondsOf(
            [&] { provider.ImportData(xmlFile, s.host, database, s.adminLogin, s.adminPassword, port, L""); });

        RecordSetRef count(provider.query(std::wstring(L"SELECT COUNT(*) FROM ") + kTable));
        const bool complete = count->next() && count->getString(0, L"", false) == std::to_wstring(kRows);
        provider.execute(L"DROP DATABASE `" + database + L"`");
        ::DeleteFileW(xmlFile.c_str());
        ::DeleteFileW((L"Z:" + dumpFile).c_str());
        ::DeleteFileW((L"Z:" + marker).c_str());
        if (!complete) throw std::runtime_error("the import did not bring back every row");

        printResult("XML export of 10,000 rows (ExportTable) / mariadb-dump --skip-extended-insert", projectExport,
                    nativeExport, "s");
        printResult("XML import of 10,000 rows (ImportData) / mariadb < that dump", projectImport, nativeImport,
                    "s");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
