// Registry access: the one way the program reads and writes the registry.
//
// A `registry` object owns one open key. The static operations open a key,
// read one value and close the key again. A missing key or value is an
// ordinary result: the lookups return the platform's error code (0 for
// success, ERROR_FILE_NOT_FOUND when the key or value is missing) so callers
// can keep their defaults; only getstr and getMulti raise for it. A value of
// the wrong type is a configuration fault and always raises.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <cstdint>
#include <list>
#include <string>

class registry {
public:
    using StringList = std::list<std::wstring>;

    // The registry view argument of the static operations.
    enum View : int {
        ProcessView = 0,  // no flag: the process's own view
        View32 = 1,       // KEY_WOW64_32KEY
        View64 = 2,       // KEY_WOW64_64KEY
        NativeView = 3,   // KEY_WOW64_64KEY on 64-bit Windows, else KEY_WOW64_32KEY
    };

    registry() = default;
    // Opens (`openOnly`) or creates-or-opens the key with `access`, which is
    // passed to the platform unchanged (add KEY_WOW64_32KEY/64KEY yourself).
    // Raises like open/create.
    registry(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly);
    registry(HKEY root, const wchar_t* subKey, REGSAM access, bool openOnly);

    registry(registry&&) noexcept = default;
    registry& operator=(registry&&) noexcept = default;
    registry(const registry&) = delete;
    registry& operator=(const registry&) = delete;

    // The platform flag a view adds to an access mask.
    static REGSAM viewFlag(int view);

    // RegCreateKeyExW into `key` (any key it held is closed). Raises on failure.
    static void create(HKEY root, const std::wstring& subKey, registry& key, REGSAM access);
    // RegOpenKeyExW into `key` (any key it held is closed). Raises on failure:
    // VFileNotFoundException for a missing key, VAccessDeniedException when
    // access is denied.
    static void open(HKEY root, const std::wstring& subKey, registry& key, REGSAM access);

    // A REG_DWORD of exactly 4 bytes. Returns the platform's code; `value` is
    // written only on success. Data longer than 4 bytes gives ERROR_MORE_DATA.
    // Raises when the stored type is not REG_DWORD or its size is not 4.
    static uint32_t lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value,
                           int view);
    // A string value of `expectedType`; REG_SZ and REG_EXPAND_SZ are accepted
    // for each other. A REG_EXPAND_SZ value comes back expanded. Every
    // character up to the first null or the end of the data is kept.
    // `value` is written only on success. Raises on any other stored type.
    static uint32_t lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
                           DWORD expectedType, int view);
    // A REG_MULTI_SZ value: appends its non-empty strings in order, stopping
    // at the first empty string. Raises on any other stored type.
    static uint32_t lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, StringList& values,
                           int view);

    // The REG_SZ (or REG_EXPAND_SZ, expanded) value; raises a vosexception
    // with the lookup's code when it is not 0.
    static std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view);
    // The strings of a REG_MULTI_SZ value; raises when the lookup is not 0.
    static StringList getMulti(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view);

    // True when the key opens with READ_CONTROL in the view. Never raises.
    static bool keyExists(HKEY root, const std::wstring& subKey, int view);
    // True when the key opens with KEY_QUERY_VALUE in the view and the value
    // can be queried. Never raises.
    static bool valueExists(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view);

    // Operations on the open key. The lookups follow the static ones, except
    // that the string lookup accepts exactly REG_SZ and REG_EXPAND_SZ.
    uint32_t lookup(const std::wstring& valueName, std::wstring& value) const;
    uint32_t lookup(const std::wstring& valueName, DWORD& value) const;
    // Writes REG_SZ including its terminating null. Raises on failure.
    void set(const std::wstring& valueName, const wchar_t* value);
    // Writes REG_DWORD. Raises on failure.
    void set(const std::wstring& valueName, DWORD value);
    // Appends the names of all sub-keys in index order. The enumeration ends
    // without error at the end of the list or at a name longer than 255
    // characters.
    void enumKeys(StringList& names) const;

    HKEY handle() const { return key_.get(); }
    bool isOpen() const { return static_cast<bool>(key_); }
    void close() { key_.reset(); }

private:
    UniqueRegKey key_;
};
