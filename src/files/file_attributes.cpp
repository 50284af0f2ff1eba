#include "files/file_attributes.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"
#include "files/file_name.h"

namespace {

constexpr ContextSite kGetSite{"getFileAttributes", 51};
constexpr ContextSite kSetSite{"setFileAttributes", 58};

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
