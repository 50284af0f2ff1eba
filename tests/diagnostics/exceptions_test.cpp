#include "diagnostics/exceptions.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <comdef.h>

#include <type_traits>
#include <typeindex>
#include <typeinfo>

namespace {

using testing_support::systemText;

template <class Expected>
void expectOsClass(uint32_t code) {
    try {
        raiseOsError(L"where", code, ContextEntry{L"", "f", 1});
    } catch (const Expected& e) {
        EXPECT_EQ(e.code(), code);
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "code " << code << " did not raise the expected class";
}

// The class raised for `code` is exactly Expected: not a subclass of it, and
// for std::runtime_error none of the RunTime family.
template <class Expected>
void expectRuntimeClass(int code) {
    try {
        throwRuntimeError(L"op %s", code, L"x");
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::type_index(typeid(e)), std::type_index(typeid(Expected)))
            << "code " << code << " raised " << typeid(e).name();
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "code " << code << " raised no std::runtime_error";
}

}  // namespace

TEST(ErrorText, FullTextRendersEveryEntryWithoutBlankBeforeParenthesis) {
    vexception error(L"boom", ContextEntry{L"", "LogManager::getEventLog", 486});
    error.addContext(ContextEntry{format(L"Process msg %d", 273), "VDlg::DialogProc", 106});
    EXPECT_EQ(error.fullText(),
              L"boom\n   at (LogManager::getEventLog line 486)\n   at Process msg 273(VDlg::DialogProc line 106)");
}

TEST(ErrorText, FullTextOfMessageWithoutContextIsTheMessage) {
    EXPECT_EQ(vexception(L"alone").fullText(), L"alone");
    EXPECT_EQ(vexception(L"neg", ContextEntry{L"t", "a::b", -3}).fullText(), L"neg\n   at t(a::b line -3)");
}

TEST(ErrorText, OsMessagePutsSystemTextFirstThenCodeThenWhere) {
    vosexception error(L"RegisterEventSource", 5, ContextEntry{});
    EXPECT_EQ(error.message(), systemText(5) + L" (Error code 5) at RegisterEventSource");
    EXPECT_FALSE(systemText(5).empty());
    EXPECT_EQ(error.code(), 5u);
}

TEST(ErrorText, OsMessageWithoutWhereText) {
    vosexception error(nullptr, 2, ContextEntry{});
    EXPECT_EQ(error.message(), systemText(2) + L" (Error code 2)");
}

TEST(ErrorText, OsMessageForUnknownCodeStartsWithUnknownError) {
    vosexception error(L"x", 0x2FFFFFFF, ContextEntry{});
    EXPECT_EQ(error.message(), L"Unknown error (Error code 805306367) at x");
}

TEST(ErrorClasses, RaiseOsErrorChoosesTheClassByCode) {
    expectOsClass<VFileNotFoundException>(2);
    expectOsClass<VPathNotFoundException>(3);
    expectOsClass<VAccessDeniedException>(5);
    expectOsClass<VOutOfMemoryException>(14);
    expectOsClass<VSharingViolationException>(32);
    expectOsClass<VEOFException>(38);
    expectOsClass<VFileExistsException>(80);
    expectOsClass<VInsufficientBufferException>(122);
    expectOsClass<VAlreadyExistsException>(183);
    expectOsClass<VServiceDoesNotExistException>(1060);
    expectOsClass<VServiceMarkedForDeleteException>(1072);
    expectOsClass<VServiceAlreadyExistsException>(1073);
    expectOsClass<VPasswordTooShortException>(2245);
}

TEST(ErrorClasses, UnmappedCodeIsPlainOsExceptionCaughtAsBase) {
    try {
        raiseOsError(L"OpenService 'x'", 1061, ContextEntry{L"", "service::x", 1});
    } catch (const VServiceDoesNotExistException&) {
        FAIL() << "1061 is not 1060";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), 1061u);
        return;
    }
    FAIL();
}

// Whoever catches vexception or vosexception also gets the classes chosen by code.
static_assert(std::is_base_of_v<vosexception, VServiceDoesNotExistException>);
static_assert(std::is_base_of_v<vexception, vosexception>);

TEST(ErrorClasses, RuntimeFamilyMapping) {
    expectRuntimeClass<RunTime::PathNotFoundException>(2);
    expectRuntimeClass<RunTime::PathNotFoundException>(3);
    expectRuntimeClass<RunTime::AccessDeniedException>(5);
    expectRuntimeClass<RunTime::InvalidHandleException>(6);
    for (int code : {15, 26, 34, 123, 161, 267}) expectRuntimeClass<RunTime::InvalidPathException>(code);
    for (int code : {32, 33, 36}) expectRuntimeClass<RunTime::SharingViolationException>(code);
    for (int code : {80, 183}) expectRuntimeClass<RunTime::AlreadyExistsException>(code);
    expectRuntimeClass<RunTime::DirectoryNotEmptyException>(145);
    expectRuntimeClass<RunTime::NoneMappedException>(1332);
    expectRuntimeClass<std::runtime_error>(1061);
    expectRuntimeClass<std::runtime_error>(0);
}

TEST(ErrorText, RuntimeErrorTexts) {
    try {
        throwRuntimeError(L"Open %s", 0, L"a.txt");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Open a.txt");
    }
    try {
        throwRuntimeError(L"Open %s", 3, L"a.txt");
    } catch (const RunTime::PathNotFoundException& e) {
        EXPECT_EQ(std::string(e.what()), "Open a.txt: (3) " + cstr(systemErrorText(3)));
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
}

TEST(ErrorText, StructuredExceptionTextIsLowerCaseHex) {
    EXPECT_EQ(cwrpexception(0xC0000005).text(), L"C structured exception: 0xc0000005");
    EXPECT_EQ(cwrpexception(0xC0000094).text(), L"C structured exception: 0xc0000094");
}

TEST(Formatting, VaformatGrowsPastTheFirstBuffer) {
    const std::wstring longText(5000, L'x');
    EXPECT_EQ(format(L"[%s]", longText.c_str()), L"[" + longText + L"]");
    EXPECT_EQ(format(L"%s", std::wstring(99, L'y').c_str()).size(), 99u);
    EXPECT_EQ(format(L"%s", std::wstring(100, L'y').c_str()).size(), 100u);
}

TEST(Formatting, TooLongTextGivesTheFixedFailureText) {
    const std::wstring huge(6553600, L'z');  // needs 6,553,601 characters with the terminator
    EXPECT_EQ(format(L"%s", huge.c_str()), L"Error on try call vaformat");
    const std::wstring fits(6553599, L'z');
    EXPECT_EQ(format(L"%s", fits.c_str()).size(), fits.size());
}

TEST(Formatting, WideStringConventions) {
    EXPECT_EQ(format(L"%s-%d-%lu", L"abc", -4, 7ul), L"abc--4-7");
}

TEST(Formatting, SystemTextWithInsertsIsTakenAsItStands) {
    // 193: "%1 is not a valid Win32 application." (Wine: "Bad EXE format for %1.")
    const std::wstring text = systemErrorText(193);
    EXPECT_NE(text.find(L"%1"), std::wstring::npos) << std::string(text.begin(), text.end());
    EXPECT_EQ(text.find(L"Unknown error"), std::wstring::npos);
}

TEST(Formatting, ComErrorTextRanges) {
    EXPECT_EQ(systemErrorText(0x80040201), L"IDispatch error #1");
    EXPECT_EQ(systemErrorText(0x8004FFFF), L"IDispatch error #65023");
    EXPECT_EQ(systemErrorText(0x2FFFFFFF), L"Unknown error 0x2FFFFFFF");
}

TEST(Conversion, EmptyInputGivesEmptyOutput) {
    EXPECT_EQ(cstr(L""), "");
    EXPECT_EQ(wstr(""), L"");
    EXPECT_EQ(cstr(L"abc"), "abc");
    EXPECT_EQ(wstr("abc"), L"abc");
    EXPECT_EQ(wstr("\xc3\xa9", CP_UTF8), L"\u00e9");
    EXPECT_EQ(cstr(L"\u00e9", CP_UTF8), "\xc3\xa9");
}

namespace {

// A minimal IErrorInfo with a description, as ADO hands one over.
class FakeErrorInfo : public IErrorInfo {
public:
    explicit FakeErrorInfo(const wchar_t* description) : description_(description) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
            *out = this;
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
        *guid = GUID{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* s) override {
        *s = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* s) override {
        *s = ::SysAllocString(description_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* s) override {
        *s = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* c) override {
        *c = 0;
        return S_OK;
    }
    ULONG refs() const { return refs_; }

private:
    const wchar_t* description_;
    ULONG refs_ = 1;
};

}  // namespace

TEST(ComError, TextWithDescription) {
    FakeErrorInfo info(L"Login failed");
    {
        _com_error error(E_FAIL, &info, true);
        vexception e(error, L"Open connection", "VADODatabaseProvider::open", 77);
        EXPECT_EQ(e.fullText(), systemErrorText(0x80004005) +
                                    L" (COM Error 80004005, Description: Login failed)\n   at Open connection"
                                    L"\n   at (VADODatabaseProvider::open line 77)");
    }
    EXPECT_EQ(info.refs(), 1u);  // every reference taken was given back
}

TEST(ComError, DispatchRangeWithoutDescription) {
    _com_error error(static_cast<HRESULT>(0x80040205));
    vexception e(error, L"where", "f", 1);
    EXPECT_EQ(e.message(), L"IDispatch error #5 (COM Error 80040205)\n   at where");
}

TEST(StandardWrapping, OsClassIsNotCarriedPastTheFirstLayer) {
    auto inner = [] { raiseOsError(L"x", 5, ContextEntry{L"", "inner", 1}); };
    try {
        runWrapped(ContextEntry{L"outer", "Outer::op", 2}, inner);
        FAIL();
    } catch (const VAccessDeniedException&) {
        FAIL() << "the subclass must not survive the wrapping";
    } catch (const vexception& e) {
        ASSERT_EQ(e.context().size(), 2u);
        EXPECT_EQ(e.context()[0].function, "inner");
        EXPECT_EQ(e.context()[1].function, "Outer::op");
    }
}

TEST(StandardWrapping, EveryKindBecomesVexceptionWithTheEntry) {
    const ContextEntry entry{L"doing", "X::y", 9};
    auto messageOf = [&](auto body) {
        try {
            runWrapped(entry, body);
        } catch (const vexception& e) {
            EXPECT_EQ(e.context().back().function, "X::y");
            return e.message();
        }
        return std::wstring(L"<nothing thrown>");
    };
    EXPECT_EQ(messageOf([] { throw std::length_error("list<T> too long"); }), L"list<T> too long");
    EXPECT_EQ(messageOf([] { throw cwrpexception(0xC0000005); }), L"C structured exception: 0xc0000005");
    EXPECT_EQ(messageOf([] { throw 42; }), L"Unexpected error");
    EXPECT_EQ(messageOf([] { throw _com_error(static_cast<HRESULT>(0x80040201)); }),
              L"IDispatch error #1 (COM Error 80040201)\n   at doing");
}

TEST(StandardWrapping, ReturnsTheBodyResultAndBuildsLazyEntriesOnlyOnError) {
    int built = 0;
    auto entry = [&] {
        ++built;
        return ContextEntry{L"lazy", "L::z", 3};
    };
    EXPECT_EQ(runWrapped(entry, [] { return 7; }), 7);
    EXPECT_EQ(built, 0);
    EXPECT_THROW(runWrapped(entry, [] { throw std::runtime_error("x"); }), vexception);
    EXPECT_EQ(built, 1);
}

TEST(StandardWrapping, CancellationPassesThroughUnchanged) {
    EXPECT_THROW(runWrapped(ContextEntry{}, [] { throw ThreadCancelation::ThreadCanceled{}; }),
                 ThreadCancelation::ThreadCanceled);
}
