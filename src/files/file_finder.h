// File search: one open search at a time and the entry it is on.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <list>
#include <string>

class VFileFinder {
public:
    VFileFinder() = default;
    VFileFinder(const VFileFinder&) = delete;
    VFileFinder& operator=(const VFileFinder&) = delete;

    // Closes any open search and starts one for `pattern`. False when
    // nothing matches or the directory does not exist; raises on any other
    // failure.
    bool first(const std::wstring& pattern);
    // False without an open search or at the end of the entries (the current
    // entry is cleared then). Raises on failure.
    bool next();

    std::wstring name() const { return data_.cFileName; }
    bool isDirectory() const { return (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    // True for "." and ".." (and for a cleared entry).
    bool isDots() const;
    FILETIME lastWriteTime() const { return data_.ftLastWriteTime; }
    const WIN32_FIND_DATAW& data() const { return data_; }

private:
    UniqueFindHandle search_;
    WIN32_FIND_DATAW data_{};
};

// Appends the full paths of the files in `directory` that match `mask`, then
// (when `depth` is not 0) does the same in every sub-directory with `depth`
// less one; a negative depth has no limit. Directories are never listed. A
// missing directory adds nothing.
void findFiles(const std::wstring& directory, const std::wstring& mask, std::list<std::wstring>& files, int depth);
