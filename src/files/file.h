// A file handle with the name it was opened by.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <string>

class VFile {
public:
    VFile() = default;
    VFile(VFile&&) noexcept = default;
    VFile& operator=(VFile&&) noexcept = default;
    VFile(const VFile&) = delete;
    VFile& operator=(const VFile&) = delete;

    // CreateFileW with these arguments (no security attributes, no
    // template). On success the previous handle is closed and `name` kept;
    // on failure raises and the object is unchanged.
    void open(const std::wstring& name, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL);

    // SetFilePointer: moves by `distance` (and `*distanceHigh` for the high
    // 32 bits, which receives the new position's high part). Returns the new
    // position's low 32 bits. Raises on failure.
    DWORD seek(LONG distance, LONG* distanceHigh = nullptr, DWORD moveMethod = FILE_BEGIN);

    // Writes `count` bytes and returns how many were written. Raises when the
    // write fails, or, with `mustWriteAll`, when fewer bytes were written.
    DWORD write(const void* buffer, DWORD count, bool mustWriteAll = true);

    void close() { handle_.reset(); }
    bool isOpen() const { return static_cast<bool>(handle_); }
    HANDLE handle() const { return handle_.get(); }
    const std::wstring& name() const { return name_; }

private:
    UniqueFileHandle handle_;
    std::wstring name_;
};
