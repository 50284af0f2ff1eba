#include "files/file_attributes.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "files/file_name.h"

namespace {

constexpr ContextSite kGetSite{"getFileAttributes", 51};
constexpr ContextSite kSetSite{"setFileAttributes", 58};
constexpr ContextSite kFileExistSite{"fileExist", 215};

}  // namespace

DWORD getFileAttributes(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        raiseOsError(format(L"GetFileAttributes(%s)", path.c_str()), ::GetLastError(), kGetSite.entry());
    return attributes;
}

void setFileAttributes(const std::wstring& path, DWORD attributes) {
    if (!::SetFileAttributesW(VFileName::toLongPath(path).c_str(), attributes))
        raiseOsError(format(L"SetFileAttributes(%s)", path.c_str()), ::GetLastError(), kSetSite.entry());
}

bool fileExist(const std::wstring& path, bool* isDirectory) {
    const DWORD attributes = ::GetFileAttributesW(VFileName::toLongPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        raiseOsError(L"retrieves attributes for file or directory " + path, error, kFileExistSite.entry());
    }
    if (isDirectory) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}
