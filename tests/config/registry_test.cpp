#include "config/registry.h"

#include "diagnostics/exceptions.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <objbase.h>

namespace {

using testing_support::systemText;

std::wstring uniqueName() {
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t name[64];
    swprintf(name, 64, L"Software\\QuarnTest%08lx%04x%04x", guid.Data1, guid.Data2, guid.Data3);
    return name;
}

// A scratch key of its own, deleted with everything under it at the end.
class ScratchKey {
public:
    explicit ScratchKey(HKEY root = HKEY_CURRENT_USER, REGSAM view = 0) : root_(root), view_(view), path_(uniqueName()) {
        registry::create(root_, path_, key_, KEY_ALL_ACCESS | view_);
    }
    ~ScratchKey() {
        key_.close();
        UniqueRegKey parent;
        if (::RegOpenKeyExW(root_, L"Software", 0, KEY_ALL_ACCESS | view_, parent.put()) == ERROR_SUCCESS) {
            const std::wstring leaf = path_.substr(path_.find(L'\\') + 1);
            ::RegDeleteTreeW(parent.get(), leaf.c_str());
            ::RegDeleteKeyExW(parent.get(), leaf.c_str(), view_, 0);
        }
    }
    HKEY root() const { return root_; }
    const std::wstring& path() const { return path_; }
    registry& key() { return key_; }

    void setRaw(const std::wstring& name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(::RegSetValueExW(key_.handle(), name.c_str(), 0, type, static_cast<const BYTE*>(data), bytes),
                  ERROR_SUCCESS);
    }
    void setText(const std::wstring& name, DWORD type, const std::wstring& text, bool withNull = true) {
        setRaw(name, type, text.c_str(), static_cast<DWORD>((text.size() + (withNull ? 1 : 0)) * sizeof(wchar_t)));
    }

private:
    HKEY root_;
    REGSAM view_;
    std::wstring path_;
    registry key_;
};

template <class Body>
vexception expectVexception(Body body) {
    try {
        body();
    } catch (const vexception& e) {
        return e;
    }
    ADD_FAILURE() << "no vexception raised";
    return vexception();
}

}  // namespace

TEST(RegistryString, ExpandSzIsAcceptedAsSzAndExpanded) {
    ScratchKey scratch;
    ::SetEnvironmentVariableW(L"QUARN_REG_TEST", L"expanded-value");
    scratch.setText(L"Path", REG_EXPAND_SZ, L"pre-%QUARN_REG_TEST%-post");
    std::wstring value;
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Path", value, REG_SZ, registry::ProcessView), 0u);
    EXPECT_EQ(value, L"pre-expanded-value-post");
    EXPECT_EQ(registry::getstr(scratch.root(), scratch.path(), L"Path", registry::ProcessView),
              L"pre-expanded-value-post");
    // REG_SZ is returned as stored, also when REG_EXPAND_SZ is expected.
    scratch.setText(L"Plain", REG_SZ, L"%QUARN_REG_TEST%");
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Plain", value, REG_EXPAND_SZ, 0), 0u);
    EXPECT_EQ(value, L"%QUARN_REG_TEST%");
    EXPECT_EQ(scratch.key().lookup(L"Path", value), 0u);
    EXPECT_EQ(value, L"pre-expanded-value-post");
}

TEST(RegistryString, StringWithoutTerminatorKeepsEveryCharacter) {
    ScratchKey scratch;
    scratch.setText(L"NoNull", REG_SZ, L"abcdef", false);
    scratch.setText(L"Longer", REG_SZ, L"a longer value so the buffer is larger than the data");
    std::wstring value;
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"NoNull", value, REG_SZ, 0), 0u);
    EXPECT_EQ(value, L"abcdef");
    EXPECT_EQ(scratch.key().lookup(L"NoNull", value), 0u);
    EXPECT_EQ(value, L"abcdef");

    // The only value of its key, so the buffer is exactly its size plus one.
    ScratchKey alone;
    alone.setText(L"NoNull", REG_SZ, L"xyz", false);
    EXPECT_EQ(registry::getstr(alone.root(), alone.path(), L"NoNull", 0), L"xyz");
}

TEST(RegistryString, ZeroByteAndEmbeddedNullStrings) {
    ScratchKey scratch;
    scratch.setRaw(L"Empty", REG_SZ, L"", 0);
    const wchar_t embedded[] = L"left\0right";
    scratch.setRaw(L"Embedded", REG_SZ, embedded, sizeof(embedded));
    std::wstring value = L"untouched";
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Empty", value, REG_SZ, 0), 0u);
    EXPECT_EQ(value, L"");
    EXPECT_EQ(registry::getstr(scratch.root(), scratch.path(), L"Embedded", 0), L"left");
}

TEST(RegistryString, MissingKeyOrValueReturnsCodeAndKeepsOutput) {
    ScratchKey scratch;
    std::wstring value = L"default";
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Nope", value, REG_SZ, 0), 2u);
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path() + L"\\Missing", L"x", value, REG_SZ, 0), 2u);
    EXPECT_EQ(value, L"default");
    EXPECT_EQ(scratch.key().lookup(L"Nope", value), 2u);
    EXPECT_EQ(value, L"default");
}

TEST(RegistryNumber, ShortLongWrongTypeAndMissingValues) {
    ScratchKey scratch;
    const DWORD answer = 42;
    scratch.setRaw(L"Good", REG_DWORD, &answer, 4);
    scratch.setRaw(L"Short", REG_DWORD, &answer, 2);
    scratch.setText(L"Text", REG_SZ, L"a");  // 4 bytes with the terminator
    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    scratch.setRaw(L"Long", REG_BINARY, eight, 8);
    scratch.setRaw(L"LongDword", REG_DWORD, eight, 8);

    DWORD value = 7;
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Good", value, 0), 0u);
    EXPECT_EQ(value, 42u);

    value = 7;
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Missing", value, 0), 2u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Long", value, 0), 234u);
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"LongDword", value, 0), 234u);
    EXPECT_EQ(scratch.key().lookup(L"Long", value), 234u);
    EXPECT_EQ(value, 7u);

    const std::wstring where = scratch.path() + L"\\";
    vexception e = expectVexception([&] { registry::lookup(scratch.root(), scratch.path(), L"Short", value, 0); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid size of '" + where + L"Short'\n   at (registry::lookup line 425)");
    e = expectVexception([&] { registry::lookup(scratch.root(), scratch.path(), L"Text", value, 0); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid type of '" + where + L"Text'\n   at (registry::lookup line 423)");
    e = expectVexception([&] { scratch.key().lookup(L"Short", value); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid size of 'Short'\n   at (registry::lookup line 324)");
    e = expectVexception([&] { scratch.key().lookup(L"Text", value); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid type of 'Text'\n   at (registry::lookup line 322)");
    EXPECT_EQ(value, 7u);
}

TEST(RegistryErrors, WrongStringTypesRaiseWithTheirTexts) {
    ScratchKey scratch;
    const DWORD one = 1;
    scratch.setRaw(L"Number", REG_DWORD, &one, 4);
    scratch.setText(L"Text", REG_SZ, L"t");
    std::wstring text;
    registry::StringList list;
    const std::wstring where = scratch.path() + L"\\";
    vexception e = expectVexception([&] { registry::lookup(scratch.root(), scratch.path(), L"Number", text, REG_SZ, 0); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid type of '" + where + L"Number'\n   at (registry::lookup line 547)");
    e = expectVexception([&] { registry::lookup(scratch.root(), scratch.path(), L"Text", list, 0); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid type of '" + where + L"Text'\n   at (registry::lookup line 614)");
    e = expectVexception([&] { scratch.key().lookup(L"Number", text); });
    EXPECT_EQ(e.fullText(), L"RegQueryValueEx invalid type of 'Number'\n   at (registry::lookup line 646)");
    EXPECT_TRUE(list.empty());
}

TEST(RegistryErrors, MissingKeyAndValueTexts) {
    ScratchKey scratch;
    const std::wstring missing = scratch.path() + L"\\Absent";
    registry key;
    try {
        registry::open(HKEY_CURRENT_USER, missing, key, KEY_READ);
        ADD_FAILURE() << "open of a missing key did not raise";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.code(), 2u);
        EXPECT_EQ(e.fullText(),
                  systemText(2) + L" (Error code 2) at RegOpenKeyEx subKey=" + missing + L"\n   at (registry::open line 49)");
    }
    EXPECT_THROW(registry(HKEY_CURRENT_USER, missing, KEY_READ, true), VFileNotFoundException);

    try {
        registry::getstr(scratch.root(), scratch.path(), L"Gone", 0);
        ADD_FAILURE() << "getstr of a missing value did not raise";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.fullText(), systemText(2) + L" (Error code 2) at lookup subKey=" + scratch.path() +
                                    L" value=Gone\n   at (registry::getstr line 748)");
    }
    try {
        registry::getMulti(scratch.root(), missing, L"Gone", 0);
        ADD_FAILURE() << "getMulti of a missing key did not raise";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.fullText(), systemText(2) + L" (Error code 2) at lookup subKey=" + missing +
                                    L" value=Gone\n   at (registry::getMulti line 766)");
    }
}

TEST(RegistryMulti, StopsAtTheFirstEmptyString) {
    ScratchKey scratch;
    const wchar_t gap[] = L"a\0\0b\0";  // a, "", b
    scratch.setRaw(L"Gap", REG_MULTI_SZ, gap, sizeof(gap));
    const wchar_t three[] = L"one\0two\0three\0";
    scratch.setRaw(L"Three", REG_MULTI_SZ, three, sizeof(three));
    const wchar_t unterminated[] = {L'x', L'\0', L'y', L'z'};
    scratch.setRaw(L"Open", REG_MULTI_SZ, unterminated, sizeof(unterminated));

    EXPECT_EQ(registry::getMulti(scratch.root(), scratch.path(), L"Gap", 0), (registry::StringList{L"a"}));
    registry::StringList list{L"kept"};
    EXPECT_EQ(registry::lookup(scratch.root(), scratch.path(), L"Three", list, 0), 0u);
    EXPECT_EQ(list, (registry::StringList{L"kept", L"one", L"two", L"three"}));
    EXPECT_EQ(registry::getMulti(scratch.root(), scratch.path(), L"Open", 0), (registry::StringList{L"x", L"yz"}));
}

TEST(RegistryKey, SetEnumAndExistence) {
    ScratchKey scratch;
    scratch.key().set(L"Name", L"value");
    scratch.key().set(L"Count", DWORD{12345});
    DWORD count = 0;
    std::wstring name;
    EXPECT_EQ(scratch.key().lookup(L"Count", count), 0u);
    EXPECT_EQ(count, 12345u);
    EXPECT_EQ(scratch.key().lookup(L"Name", name), 0u);
    EXPECT_EQ(name, L"value");
    DWORD bytes = 0;
    ASSERT_EQ(::RegQueryValueExW(scratch.key().handle(), L"Name", nullptr, nullptr, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 12u);  // five characters and the terminator

    EXPECT_TRUE(registry::valueExists(scratch.root(), scratch.path(), L"Name", 0));
    EXPECT_FALSE(registry::valueExists(scratch.root(), scratch.path(), L"Other", 0));
    EXPECT_FALSE(registry::valueExists(scratch.root(), scratch.path() + L"\\No", L"Name", 0));
    EXPECT_TRUE(registry::keyExists(scratch.root(), scratch.path(), 0));
    EXPECT_FALSE(registry::keyExists(scratch.root(), scratch.path() + L"\\No", 0));

    registry child(scratch.root(), scratch.path() + L"\\b", KEY_ALL_ACCESS, false);
    registry other(scratch.root(), (scratch.path() + L"\\a").c_str(), KEY_ALL_ACCESS, false);
    registry reopened(scratch.root(), scratch.path(), KEY_READ, true);
    registry::StringList names;
    reopened.enumKeys(names);
    EXPECT_EQ(names, (registry::StringList{L"a", L"b"}));
}

TEST(RegistryKey, EnumKeysStopsAtANameLongerThan255) {
    ScratchKey scratch;
    const std::wstring longName = L"b" + std::wstring(255, L'x');  // 256 characters
    registry longKey;
    try {
        registry::create(scratch.root(), scratch.path() + L"\\" + longName, longKey, KEY_ALL_ACCESS);
    } catch (const vexception&) {
        GTEST_SKIP() << "the registry refuses key names longer than 255 characters";
    }
    longKey.close();
    registry(scratch.root(), scratch.path() + L"\\a", KEY_ALL_ACCESS, false);
    registry(scratch.root(), scratch.path() + L"\\c", KEY_ALL_ACCESS, false);
    registry::StringList names;
    scratch.key().enumKeys(names);
    EXPECT_EQ(names, (registry::StringList{L"a"}));
}

TEST(RegistryView, View32LandsUnderWow6432Node) {
    ScratchKey scratch(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
    scratch.key().set(L"Marker", L"thirty-two");
    const std::wstring wow = L"Software\\Wow6432Node\\" + scratch.path().substr(scratch.path().find(L'\\') + 1);

    EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, wow, L"Marker", registry::View64), L"thirty-two");
    EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, scratch.path(), L"Marker", registry::View32), L"thirty-two");
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, scratch.path(), registry::View64));
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, scratch.path(), registry::NativeView));
    EXPECT_TRUE(registry::keyExists(HKEY_LOCAL_MACHINE, scratch.path(), registry::View32));
    std::wstring value;
    EXPECT_EQ(registry::lookup(HKEY_LOCAL_MACHINE, scratch.path(), L"Marker", value, REG_SZ, registry::View64), 2u);
}

// The product's key as the monitor reads it (32-bit view, ProcessView too in
// the 32-bit build) is the key a 64-bit process finds under Wow6432Node.
TEST(RegistryView, ProductKeyIsTheOneA64BitProcessSeesUnderWow6432Node) {
    const std::wstring product = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
    const std::wstring name = uniqueName().substr(9);  // without "Software\"
    registry seen64(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Quarn\\ZRT Config\\Config",
                    KEY_ALL_ACCESS | KEY_WOW64_64KEY, false);
    seen64.set(name, L"from the 64-bit view");
    EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, product, name, registry::View32), L"from the 64-bit view");
    if (sizeof(void*) == 4) {
        EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, product, name, registry::ProcessView), L"from the 64-bit view");
    }
    EXPECT_EQ(::RegDeleteValueW(seen64.handle(), name.c_str()), ERROR_SUCCESS);
}
