#include "files/directory.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "files/file_name.h"

#include <vector>

namespace {

constexpr ContextSite kMakeDirSite{"makeDir", 44};
constexpr ContextSite kCreateDirectorySite{"VDirectory::createDirectory", 92};
constexpr ContextSite kCurrentSite{"VDirectory::current", 108};

}  // namespace

void VDirectory::createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
    if (path.empty()) throw ArgumentException(L"Unable to create directory with wrong name", kCreateDirectorySite.entry());
    const std::wstring trimmed = VFileName::trimTrailingSeparators(path);
    if (!trimmed.empty() && exists(trimmed)) return;
    // A root that does not exist ("Z:" without a drive) is its own parent,
    // and a single relative name has none: stop there and let makeDir report
    // the failure instead of recursing further.
    const std::wstring parent = trimmed.empty() ? std::wstring() : VFileName::removeFileSpec(trimmed);
    if (!parent.empty() && parent != trimmed && VFileName::trimTrailingSeparators(parent) != trimmed)
        createDirectory(parent, attributes);
    makeDir(trimmed.empty() ? path : trimmed, attributes);
}

std::wstring VDirectory::current() {
    while (true) {
        const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
        if (needed == 0) raiseOsError(L"get current directory", ::GetLastError(), kCurrentSite.entry());
        std::vector<wchar_t> buffer(needed + 1);
        const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) raiseOsError(L"get current directory", ::GetLastError(), kCurrentSite.entry());
        // Another thread may have changed it in between: ask again.
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
    }
}

bool VDirectory::exists(const std::wstring& path, bool* isFile) {
    if (path.empty()) return false;
    const DWORD attributes = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isFile) *isFile = (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    return true;
}

void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
    if (!::CreateDirectoryW(VFileName::toLongPath(path).c_str(), attributes))
        raiseOsError(format(L"CreateDirectory(%s)", path.c_str()), ::GetLastError(), kMakeDirSite.entry());
}
