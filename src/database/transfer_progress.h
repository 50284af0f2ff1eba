// What quarndb shows while it exports or imports. Each finished table is a
// line on standard output ("name: N rows", or "name: created" for a schema
// import); on success a last line gives the totals: tables, rows, failed
// rows and the time taken. While standard error is a console, a line there
// shows the current table's rows and rate, rewritten at most once a second
// and cleared before each table's line; a warning goes to standard error
// as a line of its own. Quiet shows nothing at all; errors
// are the caller's to print.
#pragma once

#include "database/database_provider.h"

#include <cstdint>
#include <string>

class TransferProgress : public IDatabaseProgress {
public:
    enum class Mode { Quiet, Lines, Console };
    enum class Work { Rows, Schema };

    // Console when standard error is a console, else Lines; Quiet when
    // `quiet`.
    static Mode modeFor(bool quiet);

    TransferProgress(Mode mode, Work work);

    void tableStarted(const std::wstring& table) override;
    void rowDone(bool failed) override;
    void tableDone(const std::wstring& table, uint64_t rows) override;
    // "Warning: " + text on standard error, unless quiet.
    void warning(const std::wstring& text) override;

    // The totals line.
    void finish();

    // Asks every transfer of the process to stop (Ctrl+C, the console
    // closing); any thread may call it. The transfer raises "Interrupted" at
    // its next table or row, so that the import rolls back its open table
    // and the export keeps the earlier backup. `on` false withdraws it.
    static void interrupt(bool on = true);
    static bool interrupted();

private:
    // Raises "Interrupted" once interrupt was called.
    static void stopWhenInterrupted();
    // Writes a line to standard output, ending a message that the product
    // log left there without its line feed first.
    void printLine(const std::wstring& text);
    void showLiveLine(uint64_t now);
    void clearLiveLine();

    Mode mode_;
    Work work_;
    uint64_t started_;
    std::wstring table_;
    uint64_t tableStarted_ = 0;
    uint64_t tableRows_ = 0;
    uint64_t lastShown_ = 0;
    size_t liveLength_ = 0;
    uint64_t tables_ = 0;
    uint64_t rows_ = 0;
    uint64_t failed_ = 0;
};
