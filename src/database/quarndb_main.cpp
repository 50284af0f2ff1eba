// quarndb: the administrators' command line for the product database.
//
//   quarndb export FILE [--quiet]
//   quarndb import-schema FILE [--create-database] [--admin LOGIN] [--quiet]
//   quarndb import-data FILE [--quiet]
//
// The database is found as the tray's ZRTDatabase finds it: each setting
// from its QUARN_DB_* environment variable, else from the management
// service. With --admin the administrator's password is read from standard
// input (one line), never from the command line. Each table is printed with
// its row count as it is done, and the totals at the end (TransferProgress);
// --quiet prints nothing but errors. Exit code 0, or 1 with the error's full
// text on standard error; an import that could not insert some rows also
// ends with 1, after the tables and their failed rows on standard error. The
// export replaces FILE only once the whole document is written. Output is
// UTF-8.
#include "database/mysql_database_provider.h"
#include "database/transfer_progress.h"
#include "database/xml_export_writer.h"
#include "database/zrt_database.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr ContextSite kMainSite{"quarndb", 0};

constexpr const wchar_t* kUsage =
    L"usage: quarndb export FILE [--quiet]\n"
    L"       quarndb import-schema FILE [--create-database] [--admin LOGIN] [--quiet]\n"
    L"       quarndb import-data FILE [--quiet]\n"
    L"With --admin, the administrator's password is read from standard input.\n"
    L"With --quiet, nothing but errors is printed.\n";

void print(FILE* stream, const std::wstring& text) {
    std::fputs(cstr(text, CP_UTF8).c_str(), stream);
    std::fflush(stream);
}

std::wstring fullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    }
    if (length == 0) raiseOsError(L"GetFullPathName '" + path + L"'", ::GetLastError(), kMainSite.entry());
    return std::wstring(buffer.data(), length);
}

// Set when wmain is done: a console that is closing waits for it.
HANDLE finished = nullptr;

// Ctrl+C, Ctrl+Break and the console closing: the transfer stops at its
// next row, rolling back the table it imports or keeping the earlier backup.
// For a closing console (or logoff, shutdown) the system ends the process
// once this returns, so it waits a few seconds for that clean-up.
BOOL WINAPI onConsoleControl(DWORD event) {
    TransferProgress::interrupt();
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && finished != nullptr)
        ::WaitForSingleObject(finished, 4000);
    return TRUE;
}

// One line of standard input without its line end; on a console without
// echo.
std::wstring readPassword() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(input, &mode)) {
        print(stderr, L"Administrator password: ");
        ::SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
        std::wstring line;
        wchar_t c = 0;
        DWORD read = 0;
        while (::ReadConsoleW(input, &c, 1, &read, nullptr) && read == 1 && c != L'\n') line += c;
        ::SetConsoleMode(input, mode);
        print(stderr, L"\n");
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        return line;
    }
    std::string bytes;
    char c = 0;
    DWORD read = 0;
    while (::ReadFile(input, &c, 1, &read, nullptr) && read == 1 && c != '\n') bytes += c;
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    return wstr(bytes, CP_UTF8);
}

// Passes the export's elements on and tells the progress of each table and
// row.
class CountingWriter : public IDatabaseExportWriter {
public:
    CountingWriter(IDatabaseExportWriter& target, IDatabaseProgress& progress)
        : target_(target), progress_(progress) {}
    void setAttribute(const std::wstring& name, const std::wstring& value) override {
        if (name == L"name") lastName_ = value;
        target_.setAttribute(name, value);
    }
    void startElement(const std::wstring& name) override {
        if (name == L"table") {
            table_ = lastName_;
            rows_ = 0;
            progress_.tableStarted(table_);
        } else if (name == L"row") {
            ++rows_;
        }
        target_.startElement(name);
    }
    void characters(const std::wstring& text) override { target_.characters(text); }
    void endElement(const std::wstring& name) override {
        target_.endElement(name);
        if (name == L"row")
            progress_.rowDone(false);
        else if (name == L"table")
            progress_.tableDone(table_, rows_);
    }

private:
    IDatabaseExportWriter& target_;
    IDatabaseProgress& progress_;
    std::wstring lastName_, table_;
    uint64_t rows_ = 0;
};

// The rows of each table an import could not insert.
using FailedRows = std::vector<std::pair<std::wstring, uint64_t>>;

// The transfer's progress, keeping the failed rows of each table as well.
class ImportProgress : public TransferProgress {
public:
    ImportProgress(Mode mode, Work work, FailedRows& failed) : TransferProgress(mode, work), failed_(failed) {}
    void rowsFailed(const std::wstring& table, uint64_t rows) override { failed_.emplace_back(table, rows); }

private:
    FailedRows& failed_;
};

// On standard error: each table with the rows that failed, then the total.
void printFailures(const FailedRows& failed) {
    uint64_t total = 0;
    for (const auto& [table, rows] : failed) {
        print(stderr, table + L": " + std::to_wstring(rows) + (rows == 1 ? L" row failed\n" : L" rows failed\n"));
        total += rows;
    }
    print(stderr, std::to_wstring(total) + (total == 1 ? L" row" : L" rows") + L" of " +
                      std::to_wstring(failed.size()) + (failed.size() == 1 ? L" table" : L" tables") +
                      L" could not be imported; the log gives each row's error\n");
}

void exportData(const std::wstring& file, bool quiet) {
    ZRTDatabase database(true);
    XmlExportWriter writer(fullPath(file));
    TransferProgress progress(TransferProgress::modeFor(quiet), TransferProgress::Work::Rows);
    CountingWriter counting(writer, progress);
    database.provider()->ExportData(&counting);
    writer.finish();
    progress.finish();
}

struct Command {
    enum Kind { Export, ImportSchema, ImportData } kind = Export;
    std::wstring file;
    bool createDatabase = false;
    std::wstring adminLogin;
    bool quiet = false;
};

// False for anything but the three commands and their options.
bool parseCommand(std::vector<std::wstring> args, Command& command) {
    // --quiet goes with every command, anywhere after it.
    for (auto arg = args.begin(); arg != args.end();) {
        if (arg != args.begin() && *arg == L"--quiet") {
            command.quiet = true;
            arg = args.erase(arg);
        } else {
            ++arg;
        }
    }
    if (args.size() < 2) return false;
    command.file = args[1];
    if (args[0] == L"export") {
        command.kind = Command::Export;
        return args.size() == 2;
    }
    if (args[0] == L"import-data") {
        command.kind = Command::ImportData;
        return args.size() == 2;
    }
    if (args[0] != L"import-schema") return false;
    command.kind = Command::ImportSchema;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"--create-database")
            command.createDatabase = true;
        else if (args[i] == L"--admin" && i + 1 < args.size() && !args[i + 1].empty())
            command.adminLogin = args[++i];
        else
            return false;
    }
    return true;
}

void importDocument(const Command& command, FailedRows& failed) {
    const bool schema = command.kind == Command::ImportSchema;
    const std::wstring adminPassword = command.adminLogin.empty() ? std::wstring() : readPassword();
    ZRTDatabase database(false);
    ZRTDatabase::requireInstalled();
    const ZRTConnectionSettings s = ZRTDatabase::connectionSettings();
    ImportProgress progress(TransferProgress::modeFor(command.quiet),
                            schema ? TransferProgress::Work::Schema : TransferProgress::Work::Rows, failed);
    if (auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(database.provider())) mysql->setProgress(&progress);
    const std::wstring source = fullPath(command.file);
    if (schema)
        database.provider()->ImportSchema(source, s.host, s.database, s.login, s.password, s.port, s.socket,
                                          command.createDatabase, command.adminLogin, adminPassword);
    else
        database.provider()->ImportData(source, s.host, s.database, s.login, s.password, s.port, s.socket);
    progress.finish();
}

int run(const Command& command);

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Command command;
    if (!parseCommand(std::vector<std::wstring>(argv + 1, argv + argc), command)) {
        print(stderr, kUsage);
        return 1;
    }
    finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
    const int code = run(command);
    if (finished != nullptr) ::SetEvent(finished);
    return code;
}

namespace {

int run(const Command& command) {
    FailedRows failed;
    try {
        runWrapped(kMainSite.entry(), [&] {
            if (command.kind == Command::Export)
                exportData(command.file, command.quiet);
            else
                importDocument(command, failed);
        });
        if (failed.empty()) return 0;
        printFailures(failed);
        return 1;
    } catch (const vexception& error) {
        print(stderr, error.fullText() + L"\n");
    } catch (const ThreadCancelation::ThreadCanceled&) {
        print(stderr, L"Canceled\n");
    }
    if (TransferProgress::interrupted())
        print(stderr, command.kind == Command::Export
                          ? L"The export was interrupted; the earlier backup was kept.\n"
                          : L"The import was interrupted; the table it was importing was rolled back.\n");
    // The rows that failed before the stop are as lost as those after it.
    if (!failed.empty()) printFailures(failed);
    return 1;
}

}  // namespace
