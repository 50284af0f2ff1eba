#include "diagnostics/quarn_log.h"

#include "config/product_config.h"
#include "config/registry.h"
#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "files/file.h"
#include "files/file_finder.h"
#include "files/file_name.h"
#include "files/remove_file.h"
#include "threading/date_time.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <list>

namespace quarn::logging {

namespace {

constexpr ContextSite kParseNameSite{"quarn::logging::getRotationDate", 59};
constexpr ContextSite kRemoveOldSite{"quarn::logging::QuarnLog::removeOld", 127};

constexpr ContextSite kDirectorySite{"quarn::logging::QuarnLog::QuarnLog", 86};

constexpr uint32_t kRefreshIntervalMs = 60000;
// A rotation this long never comes; more days than this would leave the
// calendar the date arithmetic covers.
constexpr uint32_t kLongestRotationDays = 1000000;
constexpr wchar_t kFilePrefix[] = L"quarnlog_";
// U+FEFF, written first into an empty file: the bytes FF FE in UTF-16LE.
constexpr wchar_t kByteOrderMark = 0xFEFF;

std::wstring programFileName() {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    return VFileName::fileName(buffer);
}

const std::wstring& processIdText() {
    static const std::wstring text = format(L" %lu", ::GetCurrentProcessId());
    return text;
}

bool startsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && _wcsnicmp(text.c_str(), prefix.c_str(), prefix.size()) == 0;
}

// "quarnlog_" + name + eight digits + ".log", the case of the letters aside.
bool isLogFileName(const std::wstring& file, const std::wstring& prefix) {
    if (file.size() != prefix.size() + 8 + 4 || !startsWithNoCase(file, prefix)) return false;
    for (size_t i = prefix.size(); i < prefix.size() + 8; ++i)
        if (!std::iswdigit(file[i])) return false;
    return _wcsicmp(file.c_str() + prefix.size() + 8, L".log") == 0;
}

// Holds a mutex for a scope; the mutex is re-entrant for its owner.
class Held {
public:
    explicit Held(VMutex& mutex) : mutex_(mutex) { mutex_.lock(INFINITE); }
    ~Held() {
        try {
            mutex_.unlock();
        } catch (...) {
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    VMutex& mutex_;
};

// An exclusive lock on one byte of the file far beyond any end it reaches:
// it serialises every writer of the file, whichever mutex it holds, without
// locking any of the file's data. Appending alone keeps writers from
// overwriting each other on NTFS, but not on every platform (Wine computes
// the end and writes there in two steps). A file system without byte-range
// locks is written without the lock.
class WriterLock {
public:
    explicit WriterLock(HANDLE file) : file_(file) {
        region_.Offset = 0xFFFFFFF0u;
        region_.OffsetHigh = 0x7FFFFFFFu;
        locked_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &region_) != FALSE;
    }
    ~WriterLock() {
        if (locked_) ::UnlockFileEx(file_, 0, 1, 0, &region_);
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    HANDLE file_;
    OVERLAPPED region_{};
    bool locked_ = false;
};

void writeAll(VFile& file, const std::wstring& text) {
    file.write(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), true);
}

// The product root's "admin\logs". An empty root names no folder: it would
// make the path relative to whatever the current directory is.
std::wstring logDirectory() {
    const std::wstring root =
        registry::getstr(HKEY_LOCAL_MACHINE, product_config::kConfigKey, L"PRODUCT_ROOT_D", registry::View32);
    if (root.empty()) throw vexception(L"PRODUCT_ROOT_D is empty", kDirectorySite.entry());
    return VFileName::combine(root, L"admin\\logs");
}

}  // namespace

std::wstring getRotationDate(const std::wstring& path, const std::wstring& name, uint32_t days) {
    const std::wstring file = VFileName::fileName(path);
    const std::wstring prefix = kFilePrefix + name;
    if (!startsWithNoCase(file, prefix)) throw vexception(L"Failed to parse name", kParseNameSite.entry());

    int year = 0, month = 0, day = 0;
    swscanf(file.c_str() + prefix.size(), L"%04d%02d%02d", &year, &month, &day);
    VDateTime date(static_cast<uint16_t>(year), static_cast<uint16_t>(month), static_cast<uint16_t>(day));
    date += static_cast<int64_t>(std::min(days, kLongestRotationDays)) * 86400;
    const VDateTime now = VDateTime::now();
    if (date < now) date = now;
    return date.dateText();
}

QuarnLog::QuarnLog(const std::wstring& name, bool enabledByDefault)
    : enabled_(enabledByDefault ? 1 : 0),
      directory_(logDirectory()),
      name_(name.empty() ? programFileName() : name),
      lock_(false, name_) {}

QuarnLog::QuarnLog(const std::wstring& name, bool enabledByDefault, const std::wstring& lockName)
    : enabled_(enabledByDefault ? 1 : 0),
      directory_(logDirectory()),
      name_(name.empty() ? programFileName() : name),
      lock_(false, lockName) {}

QuarnLog::~QuarnLog() = default;

std::wstring QuarnLog::currentPath() const { return file_ ? filePath_ : std::wstring(); }

std::wstring QuarnLog::pathFor(const std::wstring& date) const {
    return VFileName::combine(directory_, kFilePrefix + name_ + date + L".log");
}

void QuarnLog::refresh() {
    const std::wstring base = L"log_" + name_;
    // A malformed value (another type or size) leaves the field as it is,
    // like a missing one, rather than silencing the log.
    const auto read = [&](const wchar_t* suffix, uint32_t& field) {
        DWORD value = field;
        if (product_config::readDword((base + suffix).c_str(), value)) field = value;
    };
    read(L"_enabled", enabled_);
    read(L"_history", history_);
    read(L"_rotation", rotation_);
    lastRefresh_ = ::GetTickCount();
    refreshed_ = true;
}

std::vector<std::wstring> QuarnLog::listFiles() const {
    const std::wstring prefix = kFilePrefix + name_;
    std::list<std::wstring> found;
    findFiles(directory_, prefix + L"*.log", found, 0);
    std::vector<std::wstring> files;
    for (auto& path : found)
        if (isLogFileName(VFileName::fileName(path), prefix)) files.push_back(std::move(path));
    std::sort(files.begin(), files.end());
    return files;
}

void QuarnLog::openFile(const std::wstring& path) {
    auto file = std::make_unique<VFile>();
    // Append access without FILE_WRITE_DATA: "the system writes each block
    // at the end of the file", so no writer can overwrite another's line,
    // whether or not both hold the same mutex (a service in another logon
    // session holds another). Read access is what byte-range locks need.
    file->open(path, FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
               FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    file_ = std::move(file);
    filePath_ = path;
}

void QuarnLog::closeFile() {
    file_.reset();
    filePath_.clear();
}

void QuarnLog::removeOld(const std::vector<std::wstring>& files) {
    size_t remaining = files.size();
    for (const auto& path : files) {
        if (remaining - 1 <= history_) break;
        runWrappedLogged(LogWarning, kRemoveOldSite.entry(L"Failed to remove log file"),
                         [&] { removeFile(path, true); });
        --remaining;
    }
}

void QuarnLog::rotate() {
    Held held(lock_);
    const std::wstring today = VDateTime::now().dateText();

    // A file that is already listed is not added again: counting it twice
    // would make removeOld delete one old file too many.
    const auto addFile = [](std::vector<std::wstring>& files, const std::wstring& path) {
        if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
    };

    if (file_) {
        const std::wstring rotationDate = getRotationDate(filePath_, name_, rotation_);
        if (today < rotationDate) return;
        std::vector<std::wstring> files = listFiles();
        closeFile();
        const std::wstring path = pathFor(rotationDate);
        openFile(path);
        addFile(files, path);
        removeOld(files);
        return;
    }

    std::vector<std::wstring> files = listFiles();
    if (files.empty()) {
        openFile(pathFor(today));
        return;
    }
    const std::wstring last = files.back();
    const std::wstring rotationDate = getRotationDate(last, name_, rotation_);
    if (today < rotationDate) {
        openFile(last);
    } else {
        const std::wstring path = pathFor(rotationDate);
        openFile(path);
        addFile(files, path);
    }
    removeOld(files);
}

void QuarnLog::write(const std::wstring& text) {
    Held held(lock_);
    if (!refreshed_ || ::GetTickCount() - lastRefresh_ > kRefreshIntervalMs) refresh();
    if (!enabled_) {
        closeFile();
        return;
    }
    rotate();

    // The whole line in one write: appended as one block, never torn. The
    // mark goes with the first line, so it is written once.
    WriterLock writers(file_->handle());
    std::wstring line;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file_->handle(), &size) && size.QuadPart == 0) line += kByteOrderMark;
    line += VDateTime::now().timestampText();
    line += processIdText();
    line += format(L" %lu", ::GetCurrentThreadId());
    line += L" " + text + L"\r\n";
    writeAll(*file_, line);
}

}  // namespace quarn::logging
