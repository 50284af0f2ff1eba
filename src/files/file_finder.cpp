#include "files/file_finder.h"

#include "diagnostics/exceptions.h"
#include "files/file_name.h"

#include <string_view>

namespace {

constexpr ContextSite kFirstSite{"VFileFinder::first", 354};
constexpr ContextSite kNextSite{"VFileFinder::next", 365};

}  // namespace

bool VFileFinder::first(const std::wstring& pattern) {
    search_.reset();
    data_ = WIN32_FIND_DATAW{};
    search_.reset(::FindFirstFileW(VFileName::toLongPath(pattern).c_str(), &data_));
    if (search_) return true;
    const DWORD error = ::GetLastError();
    data_ = WIN32_FIND_DATAW{};
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    raiseOsError(L"FindFirstFile(" + pattern + L")", error, kFirstSite.entry());
}

bool VFileFinder::next() {
    if (!search_) return false;
    if (::FindNextFileW(search_.get(), &data_)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_NO_MORE_FILES) {
        data_ = WIN32_FIND_DATAW{};
        return false;
    }
    raiseOsError(L"FindNextFile", error, kNextSite.entry());
}

bool VFileFinder::isDots() const {
    return std::wstring_view(L"..").find(data_.cFileName) != std::wstring_view::npos;
}

void findFiles(const std::wstring& directory, const std::wstring& mask, std::list<std::wstring>& files, int depth) {
    VFileFinder finder;
    for (bool found = finder.first(VFileName::combine(directory, mask)); found; found = finder.next()) {
        if (!finder.isDots() && !finder.isDirectory()) files.push_back(VFileName::combine(directory, finder.name()));
    }
    if (depth == 0) return;
    const int nextDepth = depth > 0 ? depth - 1 : depth;
    for (bool found = finder.first(VFileName::combine(directory, L"*.*")); found; found = finder.next()) {
        if (!finder.isDots() && finder.isDirectory())
            findFiles(VFileName::combine(directory, finder.name()), mask, files, nextDepth);
    }
}
