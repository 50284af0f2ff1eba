// Named, dated, rotated product log files in the product root's
// "admin\logs": quarnlog_<name><YYYYMMDD>.log, UTF-16LE with a byte-order
// mark, one line per write:
//   "YYYY/MM/DD hh:mm:ss:mmm <pid> <tid> <text>\r\n"
// Processes writing the same log are serialised by a named mutex (the log's
// name). The name has no namespace prefix, like the one the product's other
// writers use, so it serialises the processes of one logon session only; a
// writer of another session (a service) holds another mutex. Each line is
// therefore appended in one write on a handle with append access (no write
// access), under a byte-range lock on the file itself, which keeps every
// line whole with or without the mutex.
#pragma once

#include "threading/mutex.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class VFile;

namespace quarn::logging {

// The date (eight digits, "%04d%02d%02d") at which the log file `path` of
// the log `name` is due to be replaced: its own date plus `days`, or today
// when that is already past. Raises "Failed to parse name" when the file name
// does not begin with "quarnlog_" + name, and the date arithmetic's error
// when the date part is not a valid date.
std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days);

class QuarnLog {
public:
    // Settings come from HKLM "SOFTWARE\Quarn\ZRT Config\Config" (32-bit
    // view): "log_<name>_enabled", "_history", "_rotation", each keeping its
    // default when missing. An empty `name` stands for the program's file
    // name. Opens no file. Raises the registry error when "PRODUCT_ROOT_D"
    // cannot be read. The log directory is not created.
    explicit QuarnLog(const std::wstring& name, bool enabledByDefault = true);
    // The same log serialised by the mutex `lockName` instead of the log's
    // name: a writer that shares the file but not the lock, as one in another
    // logon session does.
    QuarnLog(const std::wstring& name, bool enabledByDefault, const std::wstring& lockName);
    ~QuarnLog();
    QuarnLog(const QuarnLog&) = delete;
    QuarnLog& operator=(const QuarnLog&) = delete;

    // Appends one line (the text unchanged, line feeds included). Re-reads
    // the settings on the first write and then at most once a minute; while
    // disabled closes the file and writes nothing. Raises the file errors
    // ("Open file '...", "Write to file '..." ...) when the file cannot be
    // opened or written, for example when the log directory is missing.
    void write(const std::wstring& text);

    // Chooses the file to write: keeps the open one until its rotation date,
    // otherwise opens the file dated with the rotation date (today's, or the
    // newest existing one while it is still current) and removes old files.
    void rotate();

    // Deletes the oldest of `files` (sorted oldest first) until at most
    // history + 1 remain. A file that cannot be deleted is logged at level
    // Warning and skipped.
    void removeOld(const std::vector<std::wstring>& files);

    // Reads the three settings; each keeps its value when missing.
    void refresh();

    // The log's files in `directory`, oldest first. Only names of exactly
    // "quarnlog_" + name + eight digits + ".log" count, so a log whose name
    // merely begins with this one's ("debugger" for "debug") is never touched.
    std::vector<std::wstring> listFiles() const;

    // The full path of this log's file for `date` ("YYYYMMDD").
    std::wstring pathFor(const std::wstring& date) const;

    const std::wstring& name() const { return name_; }
    const std::wstring& directory() const { return directory_; }
    uint32_t rotation() const { return rotation_; }
    uint32_t history() const { return history_; }
    bool enabled() const { return enabled_ != 0; }
    // The path of the open file, empty when none is open.
    std::wstring currentPath() const;

private:
    void openFile(const std::wstring& path);
    void closeFile();

    uint32_t rotation_ = 1;
    uint32_t history_ = 3;
    uint32_t enabled_;
    uint32_t lastRefresh_ = 0;
    bool refreshed_ = false;
    std::wstring directory_;
    std::wstring name_;
    std::unique_ptr<VFile> file_;
    std::wstring filePath_;
    VMutex lock_;
};

}  // namespace quarn::logging
