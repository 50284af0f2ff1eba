#include "files/file.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/text.h"

namespace {

constexpr ContextSite kOpenSite{"VFile::open", 104};
constexpr ContextSite kWriteSite{"VFile::write", 130};
constexpr ContextSite kShortWriteSite{"VFile::write", 132};
constexpr ContextSite kSeekSite{"VFile::seek", 173};

}  // namespace

void VFile::open(const std::wstring& name, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                 DWORD flagsAndAttributes) {
    const HANDLE handle =
        ::CreateFileW(name.c_str(), desiredAccess, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) raiseOsError(L"Open file '" + name + L"'", ::GetLastError(), kOpenSite.entry());
    handle_.reset(handle);
    name_ = name;
}

DWORD VFile::seek(LONG distance, LONG* distanceHigh, DWORD moveMethod) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD position = ::SetFilePointer(handle_.get(), distance, distanceHigh, moveMethod);
    if (position == INVALID_SET_FILE_POINTER) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_SUCCESS) raiseOsError(L"Unable seek in file '" + name_ + L"'", error, kSeekSite.entry());
    }
    return position;
}

DWORD VFile::write(const void* buffer, DWORD count, bool mustWriteAll) {
    DWORD written = 0;
    if (!::WriteFile(handle_.get(), buffer, count, &written, nullptr))
        raiseOsError(L"Write to file '" + name_ + L"'", ::GetLastError(), kWriteSite.entry());
    if (mustWriteAll && written < count)
        throw vexception(format(L"Unable to write %d bytes into file '", static_cast<int>(count)) + name_ + L"'",
                         kShortWriteSite.entry());
    return written;
}
