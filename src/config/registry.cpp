#include "config/registry.h"

#include "diagnostics/exceptions.h"
#include "files/file_name.h"
#include "files/os_version.h"

#include <cwchar>
#include <vector>

namespace {

constexpr ContextSite kCreateSite{"registry::create", 42};
constexpr ContextSite kOpenSite{"registry::open", 49};
constexpr ContextSite kSetNumberSite{"registry::set", 203};
constexpr ContextSite kSetStringSite{"registry::set", 210};
constexpr ContextSite kObjectNumberTypeSite{"registry::lookup", 322};
constexpr ContextSite kObjectNumberSizeSite{"registry::lookup", 324};
constexpr ContextSite kStaticNumberTypeSite{"registry::lookup", 423};
constexpr ContextSite kStaticNumberSizeSite{"registry::lookup", 425};
constexpr ContextSite kStaticStringTypeSite{"registry::lookup", 547};
constexpr ContextSite kMultiTypeSite{"registry::lookup", 614};
constexpr ContextSite kObjectStringTypeSite{"registry::lookup", 646};
constexpr ContextSite kGetstrSite{"registry::getstr", 748};
constexpr ContextSite kGetMultiSite{"registry::getMulti", 766};

// The raw data of a value, read into a buffer as large as the key's longest
// value data plus one byte. Returns the platform's code of the first failing
// step.
struct RawValue {
    std::vector<wchar_t> buffer;  // wchar_t storage keeps the data aligned for the string views
    DWORD type = REG_NONE;
    DWORD size = 0;  // bytes

    const BYTE* bytes() const { return reinterpret_cast<const BYTE*>(buffer.data()); }
    // The whole characters of the data.
    size_t characters() const { return size / sizeof(wchar_t); }
};

uint32_t readRaw(HKEY key, const std::wstring& valueName, RawValue& raw) {
    DWORD longest = 0;
    LSTATUS status = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                        &longest, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
    const DWORD capacity = longest + 1;
    raw.buffer.assign(capacity / sizeof(wchar_t) + 1, L'\0');
    raw.size = capacity;
    status = ::RegQueryValueExW(key, valueName.c_str(), nullptr, &raw.type, reinterpret_cast<BYTE*>(raw.buffer.data()),
                                &raw.size);
    return static_cast<uint32_t>(status);
}

// The data as a string: every character up to the first null or the end of
// the data (a value stored without its terminator keeps all its characters).
// REG_EXPAND_SZ data is expanded.
std::wstring toString(const RawValue& raw) {
    const wchar_t* text = raw.buffer.data();
    const size_t count = raw.characters();
    size_t length = 0;
    while (length < count && text[length] != L'\0') ++length;
    std::wstring value(text, length);
    if (raw.type == REG_EXPAND_SZ) value = VFileName::expandEnvironmentStrings(value);
    return value;
}

void appendMulti(const RawValue& raw, registry::StringList& values) {
    const wchar_t* text = raw.buffer.data();
    const size_t count = raw.characters();
    size_t position = 0;
    while (position < count) {
        size_t end = position;
        while (end < count && text[end] != L'\0') ++end;
        if (end == position) break;
        values.emplace_back(text + position, end - position);
        position = end + 1;
    }
}

// Reads a REG_DWORD into `value`. `describe` names the value in the error
// texts; the sites differ between the object and the static lookup.
uint32_t readNumber(HKEY key, const std::wstring& valueName, DWORD& value, const std::wstring& describe,
                    const ContextSite& typeSite, const ContextSite& sizeSite) {
    DWORD data = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    const LSTATUS status =
        ::RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
    if (type != REG_DWORD) throw vexception(L"RegQueryValueEx invalid type of '" + describe + L"'", typeSite.entry());
    if (size != sizeof(DWORD))
        throw vexception(L"RegQueryValueEx invalid size of '" + describe + L"'", sizeSite.entry());
    value = data;
    return ERROR_SUCCESS;
}

uint32_t openForQuery(HKEY root, const std::wstring& subKey, int view, UniqueRegKey& key) {
    return static_cast<uint32_t>(
        ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | registry::viewFlag(view), key.put()));
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

}  // namespace

registry::registry(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly) {
    if (openOnly)
        open(root, subKey, *this, access);
    else
        create(root, subKey, *this, access);
}

registry::registry(HKEY root, const wchar_t* subKey, REGSAM access, bool openOnly)
    : registry(root, std::wstring(subKey ? subKey : L""), access, openOnly) {}

REGSAM registry::viewFlag(int view) {
    switch (view) {
    case View32: return KEY_WOW64_32KEY;
    case View64: return KEY_WOW64_64KEY;
    case NativeView: return isOSWindows64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    default: return 0;
    }
}

void registry::create(HKEY root, const std::wstring& subKey, registry& key, REGSAM access) {
    const LSTATUS status = ::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, access, nullptr, key.key_.put(),
                                             nullptr);
    if (status != ERROR_SUCCESS) raiseOsError(L"RegCreateKeyEx subKey=" + subKey, status, kCreateSite.entry());
}

void registry::open(HKEY root, const std::wstring& subKey, registry& key, REGSAM access) {
    const LSTATUS status = ::RegOpenKeyExW(root, subKey.c_str(), 0, access, key.key_.put());
    if (status != ERROR_SUCCESS) raiseOsError(L"RegOpenKeyEx subKey=" + subKey, status, kOpenSite.entry());
}

uint32_t registry::lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value,
                          int view) {
    UniqueRegKey key;
    if (const uint32_t code = openForQuery(root, subKey, view, key)) return code;
    return readNumber(key.get(), valueName, value, subKey + L"\\" + valueName, kStaticNumberTypeSite,
                      kStaticNumberSizeSite);
}

uint32_t registry::lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
                          DWORD expectedType, int view) {
    UniqueRegKey key;
    if (const uint32_t code = openForQuery(root, subKey, view, key)) return code;
    RawValue raw;
    if (const uint32_t code = readRaw(key.get(), valueName, raw)) return code;
    const bool accepted = raw.type == expectedType || (isStringType(raw.type) && isStringType(expectedType));
    if (!accepted)
        throw vexception(L"RegQueryValueEx invalid type of '" + subKey + L"\\" + valueName + L"'",
                         kStaticStringTypeSite.entry());
    value = toString(raw);
    return ERROR_SUCCESS;
}

uint32_t registry::lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, StringList& values,
                          int view) {
    UniqueRegKey key;
    if (const uint32_t code = openForQuery(root, subKey, view, key)) return code;
    RawValue raw;
    if (const uint32_t code = readRaw(key.get(), valueName, raw)) return code;
    if (raw.type != REG_MULTI_SZ)
        throw vexception(L"RegQueryValueEx invalid type of '" + subKey + L"\\" + valueName + L"'",
                         kMultiTypeSite.entry());
    appendMulti(raw, values);
    return ERROR_SUCCESS;
}

std::wstring registry::getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view) {
    std::wstring value;
    if (const uint32_t code = lookup(root, subKey, valueName, value, REG_SZ, view))
        raiseOsError(L"lookup subKey=" + subKey + L" value=" + valueName, code, kGetstrSite.entry());
    return value;
}

registry::StringList registry::getMulti(HKEY root, const std::wstring& subKey, const std::wstring& valueName,
                                        int view) {
    StringList values;
    if (const uint32_t code = lookup(root, subKey, valueName, values, view))
        raiseOsError(L"lookup subKey=" + subKey + L" value=" + valueName, code, kGetMultiSite.entry());
    return values;
}

bool registry::keyExists(HKEY root, const std::wstring& subKey, int view) {
    UniqueRegKey key;
    return ::RegOpenKeyExW(root, subKey.c_str(), 0, READ_CONTROL | viewFlag(view), key.put()) == ERROR_SUCCESS;
}

bool registry::valueExists(HKEY root, const std::wstring& subKey, const std::wstring& valueName, int view) {
    UniqueRegKey key;
    if (openForQuery(root, subKey, view, key) != ERROR_SUCCESS) return false;
    return ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

uint32_t registry::lookup(const std::wstring& valueName, std::wstring& value) const {
    RawValue raw;
    if (const uint32_t code = readRaw(key_.get(), valueName, raw)) return code;
    if (!isStringType(raw.type))
        throw vexception(L"RegQueryValueEx invalid type of '" + valueName + L"'", kObjectStringTypeSite.entry());
    value = toString(raw);
    return ERROR_SUCCESS;
}

uint32_t registry::lookup(const std::wstring& valueName, DWORD& value) const {
    return readNumber(key_.get(), valueName, value, valueName, kObjectNumberTypeSite, kObjectNumberSizeSite);
}

void registry::set(const std::wstring& valueName, const wchar_t* value) {
    if (!value) value = L"";
    const DWORD bytes = static_cast<DWORD>((std::wcslen(value) + 1) * sizeof(wchar_t));
    const LSTATUS status = ::RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(value), bytes);
    if (status != ERROR_SUCCESS) raiseOsError(L"RegSetValueEx valueName=" + valueName, status, kSetStringSite.entry());
}

void registry::set(const std::wstring& valueName, DWORD value) {
    const LSTATUS status = ::RegSetValueExW(key_.get(), valueName.c_str(), 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&value), sizeof(value));
    if (status != ERROR_SUCCESS) raiseOsError(L"RegSetValueEx valueName=" + valueName, status, kSetNumberSite.entry());
}

void registry::enumKeys(StringList& names) const {
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key_.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
}
