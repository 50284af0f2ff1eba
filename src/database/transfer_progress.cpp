#include "database/transfer_progress.h"

#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"
#include "diagnostics/win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace {

constexpr uint64_t kLiveInterval = 1000;  // milliseconds between two live lines
constexpr ContextSite kProgressSite{"TransferProgress", 0};

std::atomic<bool> interruptRequested{false};

std::wstring count(uint64_t number, const wchar_t* one, const wchar_t* many) {
    return std::to_wstring(number) + L" " + (number == 1 ? one : many);
}

// Writes to the console of standard error; a console takes wide text as it is.
void writeConsole(const std::wstring& text) {
    DWORD written = 0;
    ::WriteConsoleW(::GetStdHandle(STD_ERROR_HANDLE), text.c_str(), static_cast<DWORD>(text.size()), &written,
                    nullptr);
}

}  // namespace

TransferProgress::Mode TransferProgress::modeFor(bool quiet) {
    if (quiet) return Mode::Quiet;
    DWORD consoleMode = 0;
    // GetConsoleMode succeeds only for a console handle.
    return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &consoleMode) ? Mode::Console : Mode::Lines;
}

TransferProgress::TransferProgress(Mode mode, Work work) : mode_(mode), work_(work), started_(::GetTickCount64()) {}

void TransferProgress::interrupt(bool on) { interruptRequested = on; }

bool TransferProgress::interrupted() { return interruptRequested; }

void TransferProgress::stopWhenInterrupted() {
    if (interruptRequested) throw vexception(L"Interrupted", kProgressSite.entry());
}

void TransferProgress::tableStarted(const std::wstring& table) {
    stopWhenInterrupted();
    table_ = table;
    tableRows_ = 0;
    tableStarted_ = lastShown_ = ::GetTickCount64();
}

void TransferProgress::rowDone(bool failed) {
    stopWhenInterrupted();
    ++tableRows_;
    if (failed) ++failed_;
    if (mode_ != Mode::Console) return;
    const uint64_t now = ::GetTickCount64();
    if (now - lastShown_ >= kLiveInterval) showLiveLine(now);
}

void TransferProgress::tableDone(const std::wstring& table, uint64_t rows) {
    ++tables_;
    rows_ += rows;
    printLine(table + L": " + (work_ == Work::Schema ? std::wstring(L"created") : count(rows, L"row", L"rows")));
}

void TransferProgress::warning(const std::wstring& text) {
    if (mode_ == Mode::Quiet) return;
    clearLiveLine();
    std::fputs(cstr(L"Warning: " + text + L"\n", CP_UTF8).c_str(), stderr);
    std::fflush(stderr);
}

void TransferProgress::finish() {
    const uint64_t elapsed = ::GetTickCount64() - started_;
    printLine(L"Total: " + count(tables_, L"table", L"tables") + L", " + count(rows_, L"row", L"rows") + L", " +
              count(failed_, L"failed row", L"failed rows") + L", " + format(L"%.1f s", elapsed / 1000.0));
}

void TransferProgress::printLine(const std::wstring& text) {
    if (mode_ == Mode::Quiet) return;
    clearLiveLine();
    // The product log separates its messages on standard output by line
    // feeds and leaves the last one open: end it before a line of ours, and
    // let its next message begin on a line of its own.
    LogManager::endStdoutLine();
    std::fputs(cstr(text + L"\n", CP_UTF8).c_str(), stdout);
    std::fflush(stdout);
}

void TransferProgress::showLiveLine(uint64_t now) {
    lastShown_ = now;
    const double seconds = (now - tableStarted_) / 1000.0;
    const std::wstring text = table_ + L": " + count(tableRows_, L"row", L"rows") +
                              format(L", %.0f rows/s", seconds > 0 ? tableRows_ / seconds : 0.0);
    // A shorter line blanks what is left of the longer one before it.
    const size_t shown = text.size();
    writeConsole(L"\r" + text + std::wstring(liveLength_ > shown ? liveLength_ - shown : 0, L' '));
    liveLength_ = std::max(liveLength_, shown);
}

void TransferProgress::clearLiveLine() {
    if (liveLength_ == 0) return;
    writeConsole(L"\r" + std::wstring(liveLength_, L' ') + L"\r");
    liveLength_ = 0;
}
