// Where one row of the data import spends its time, each part measured on
// its own over the same rows (BENCH_PARTS_ROWS, 2,000 by default), per row:
// the SAX reader with a handler that does nothing; the importer building
// and escaping the statements for a provider that sends nothing; the log
// line of a statement with "Debug" off and on (the routing switches set as
// a fresh process sets them); the client library's round trip ("DO 0")
// under Wine against the native client's; the rows inserted with one
// commit each and inside one transaction, by the client library and by the
// native client; and the whole ImportData with "Debug" off and on. The
// native client's figures have its start-up (a run with no statements)
// taken off. Needs the sandbox server's settings and the native client
// tools, as database_xml_transfer does.
#include "bench_timing.h"
#include "database/content_handler_wrapper.h"
#include "database/mysql_data_importer.h"
#include "database/mysql_database_provider.h"
#include "database/xml_export_writer.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"
#include "native_client.h"
#include "sandbox_database.h"
#include "threading/execute_context.h"

#include <mysql.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* kTable = L"bench_rows";
constexpr wchar_t kConfigKey[] = L"SOFTWARE\\Quarn\\ZRT Config\\Config";

// A provider that builds every statement and sends none.
class DryProvider : public MySQLDatabaseProvider {
public:
    void execute(const std::wstring&) override {}
};

// Sets "Debug" and the log switches as a process started with that setting
// has them: Info goes to the event log only with "Debug" on.
void setDebug(bool on) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot open the configuration key");
    const DWORD value = on ? 1 : 0;
    ::RegSetValueExW(key, L"Debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    ::RegCloseKey(key);
    for (int level = 0; level < 3; ++level) LogManager::setRoutesToEventLog(level, on);
    // The switch is read again on every sixteenth query.
    for (int i = 0; i < 16; ++i) LogManager::debugEnabled();
}

void query(st_mysql* connection, const std::string& sql) {
    if (mysql_real_query(connection, sql.data(), static_cast<unsigned long>(sql.size())) != 0)
        throw std::runtime_error("statement failed: " + std::string(mysql_error(connection)));
}

// Writes `text` to the Unix file `path`.
void writeUnixFile(const std::wstring& path, const std::string& text) {
    UniqueFileHandle file(::CreateFileW((L"Z:" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        throw std::runtime_error("cannot write a statement file");
}

double seconds(const std::function<void()>& body) { return microsecondsPerCall(1, body) / 1e6; }

}  // namespace

int main() {
    try {
        ::CoInitialize(nullptr);
        const wchar_t* rowsText = _wgetenv(L"BENCH_PARTS_ROWS");
        const int rows = rowsText && _wtoi(rowsText) > 0 ? _wtoi(rowsText) : 2000;
        const sandboxkit::DatabaseSettings s = sandboxkit::databaseSettings();
        const int32_t port = static_cast<int32_t>(_wtol(s.port.c_str()));
        const std::wstring database = L"bench_parts_" + std::to_wstring(::GetCurrentProcessId());
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
        provider.execute(L"CREATE TABLE ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, val int(10))");
        // The statements the importer sends, kept for the raw and native runs.
        std::vector<std::string> inserts;
        for (int id = 0; id < rows; ++id)
            inserts.push_back(cstr(format(L"INSERT INTO `%s` (`id`,`login`,`note`,`amount`) VALUES ('%d','user%d',%s,'%d')",
                                          kTable, id, id,
                                          id % 7 ? L"'a note with <markup> & \\\"quotes\\\"'" : L"NULL", id * 3),
                                   CP_UTF8));
        for (const auto& sql : inserts) query(provider.handle(), sql);
        {
            XmlExportWriter writer(xmlFile);
            provider.ExportTable(&writer, kTable);
            writer.finish();
        }
        st_mysql* connection = provider.handle();
        const auto empty = [&] { query(connection, "DELETE FROM bench_rows"); };

        // The parts inside the program.
        ContentHandlerWrapper nothing;
        const double sax = seconds([&] { ContentHandlerWrapper::parseURL(&nothing, xmlFile); });
        DryProvider dry;
        dry.connect(s.host, database, s.adminLogin, s.adminPassword, port, L"");
        MySQLDataImporter importer(&dry);
        const double build = seconds([&] { ContentHandlerWrapper::parseURL(&importer, xmlFile); });
        const std::wstring statement = wstr(inserts[1], CP_UTF8);
        const auto logLines = [&] {
            return seconds([&] {
                for (int i = 0; i < rows; ++i)
                    LogManager::print(LogInfo, L"MySQLDatabaseProvider Execute: %s", statement.c_str());
            });
        };
        setDebug(false);
        const double logOff = logLines();
        setDebug(true);
        const double logOn = logLines();

        // The client library under Wine.
        const double roundTrip = seconds([&] {
            for (int i = 0; i < rows; ++i) query(connection, "DO 0");
        });
        empty();
        const double autocommit = seconds([&] {
            for (const auto& sql : inserts) query(connection, sql);
        });
        empty();
        const double transaction = seconds([&] {
            query(connection, "START TRANSACTION");
            for (const auto& sql : inserts) query(connection, sql);
            query(connection, "COMMIT");
        });

        // The native client, with its start-up taken off.
        const std::wstring folder = L"/tmp/" + database, marker = folder + L".done";
        const std::wstring client = nativeclient::binFolder() + L"/mariadb" +
                                    nativeclient::connectionArguments(s.host, s.port, s.adminLogin, s.adminPassword) +
                                    database + L" < ";
        std::string dos, statements;
        for (int i = 0; i < rows; ++i) dos += "DO 0;\n";
        for (const auto& sql : inserts) statements += sql + ";\n";
        writeUnixFile(folder + L".none", "");
        writeUnixFile(folder + L".do", dos);
        writeUnixFile(folder + L".auto", statements);
        writeUnixFile(folder + L".trans", "START TRANSACTION;\n" + statements + "COMMIT;\n");
        const auto native = [&](const wchar_t* file) {
            return seconds([&] { nativeclient::run(client + folder + file, marker); });
        };
        const double nativeStart = std::min(native(L".none"), native(L".none"));
        const double nativeRoundTrip = native(L".do") - nativeStart;
        empty();
        const double nativeAutocommit = native(L".auto") - nativeStart;
        empty();
        const double nativeTransaction = native(L".trans") - nativeStart;

        // The whole import.
        const auto import = [&] {
            return seconds(
                [&] { provider.ImportData(xmlFile, s.host, database, s.adminLogin, s.adminPassword, port, L""); });
        };
        setDebug(false);
        const double importOff = import();
        setDebug(true);
        const double importOn = import();

        provider.execute(L"DROP DATABASE `" + database + L"`");
        ::DeleteFileW(xmlFile.c_str());
        for (const wchar_t* file : {L".none", L".do", L".auto", L".trans"}) ::DeleteFileW((L"Z:" + folder + file).c_str());

        const double us = 1e6 / rows;
        std::printf("per row, %d rows:\n", rows);
        std::printf("  SAX reader, handler doing nothing      %8.1f us\n", sax * us);
        std::printf("  statement built and escaped            %8.1f us\n", (build - sax) * us);
        std::printf("  log line, Debug off                    %8.1f us\n", logOff * us);
        std::printf("  log line, Debug on                     %8.1f us\n", logOn * us);
        std::printf("  round trip DO 0, client library/Wine   %8.1f us   native %8.1f us\n", roundTrip * us,
                    nativeRoundTrip * us);
        std::printf("  INSERT, one commit each                %8.1f us   native %8.1f us\n", autocommit * us,
                    nativeAutocommit * us);
        std::printf("  INSERT, one transaction                %8.1f us   native %8.1f us\n", transaction * us,
                    nativeTransaction * us);
        std::printf("  whole ImportData, Debug off            %8.1f us\n", importOff * us);
        std::printf("  whole ImportData, Debug on             %8.1f us\n", importOn * us);
        printResult("import row: round trip DO 0, client library / native", roundTrip * us, nativeRoundTrip * us,
                    "us");
        printResult("import row: INSERT one commit each / one transaction", autocommit * us, transaction * us, "us");
        printResult("import row: whole ImportData, Debug off / native one commit each", importOff * us,
                    nativeAutocommit * us, "us");
        printResult("import row: whole ImportData, Debug on / native one commit each", importOn * us,
                    nativeAutocommit * us, "us");
    } catch (const vexception& error) {
        std::fwprintf(stderr, L"%ls\n", error.fullText().c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
