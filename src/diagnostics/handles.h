// Scoped ownership of every kind of platform handle the program uses.
//
// One policy template does the work; each handle kind is a traits struct
// naming its type, its empty value and its close function. Handles are
// move-only. reset() keeps GetLastError() intact, so releasing a handle on a
// failure path never hides the error that caused the failure.
#pragma once

#include "diagnostics/win32.h"

#include <commctrl.h>

#include <type_traits>
#include <utility>

template <class Traits>
class UniqueResource {
public:
    using pointer = typename Traits::pointer;

private:
    // GCC still converts a string literal to a plain character pointer (with
    // a warning): such a resource is adopted by name only, never through a
    // constructor a literal can reach.
    static constexpr bool kCharacterPointer =
        std::is_same_v<pointer, wchar_t*> || std::is_same_v<pointer, char*>;

public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(pointer value) noexcept
        requires(!kCharacterPointer)
        : value_(value) {}
    // Takes ownership of `value`, which must have been allocated for the
    // close function of Traits.
    static UniqueResource adopt(pointer value) noexcept {
        UniqueResource owner;
        owner.value_ = value;
        return owner;
    }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::empty(); }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(value_, Traits::empty()); }

    // Closes the current value (if any) and takes ownership of `value`.
    void reset(pointer value = Traits::empty()) noexcept {
        pointer old = std::exchange(value_, value);
        if (old != Traits::empty()) {
            const DWORD saved = ::GetLastError();
            Traits::close(old);
            ::SetLastError(saved);
        }
    }

    // For out-parameters of platform calls: closes the current value first.
    pointer* put() noexcept {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::empty();
};

namespace handle_traits {

struct Kernel {
    using pointer = HANDLE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
struct File {
    using pointer = HANDLE;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::CloseHandle(h); }
};
struct Find {
    using pointer = HANDLE;
    static pointer empty() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { ::FindClose(h); }
};
struct RegKey {
    using pointer = HKEY;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::RegCloseKey(h); }
};
struct ServiceHandle {
    using pointer = SC_HANDLE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseServiceHandle(h); }
};
struct Menu {
    using pointer = HMENU;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DestroyMenu(h); }
};
struct Icon {
    using pointer = HICON;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DestroyIcon(h); }
};
struct Library {
    using pointer = HMODULE;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::FreeLibrary(h); }
};
struct LocalMemory {
    using pointer = HLOCAL;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::LocalFree(h); }
};

struct WindowStation {
    using pointer = HWINSTA;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseWindowStation(h); }
};
struct Desktop {
    using pointer = HDESK;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::CloseDesktop(h); }
};
struct ImageList {
    using pointer = HIMAGELIST;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::ImageList_Destroy(h); }
};
struct Hook {
    using pointer = HHOOK;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::UnhookWindowsHookEx(h); }
};
// A GDI object of one kind (HBITMAP, HFONT, HBRUSH...): all are deleted
// alike, and the kind keeps one from being handed where another is wanted.
template <class Object>
struct GdiObject {
    using pointer = Object;
    static pointer empty() noexcept { return nullptr; }
    static void close(pointer h) noexcept { ::DeleteObject(h); }
};

}  // namespace handle_traits

using UniqueHandle = UniqueResource<handle_traits::Kernel>;
using UniqueFileHandle = UniqueResource<handle_traits::File>;
using UniqueFindHandle = UniqueResource<handle_traits::Find>;
using UniqueRegKey = UniqueResource<handle_traits::RegKey>;
using UniqueServiceHandle = UniqueResource<handle_traits::ServiceHandle>;
using UniqueMenu = UniqueResource<handle_traits::Menu>;
using UniqueIcon = UniqueResource<handle_traits::Icon>;
using UniqueLibrary = UniqueResource<handle_traits::Library>;
using UniqueLocalMemory = UniqueResource<handle_traits::LocalMemory>;
using UniqueWindowStation = UniqueResource<handle_traits::WindowStation>;
using UniqueDesktop = UniqueResource<handle_traits::Desktop>;
using UniqueImageList = UniqueResource<handle_traits::ImageList>;
using UniqueHook = UniqueResource<handle_traits::Hook>;
using UniqueBitmap = UniqueResource<handle_traits::GdiObject<HBITMAP>>;
using UniqueFont = UniqueResource<handle_traits::GdiObject<HFONT>>;
