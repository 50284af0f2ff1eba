#include "diagnostics/com_ptr.h"

#include <comdef.h>
#include <gtest/gtest.h>

#include <type_traits>

// A string literal converts to a BSTR (wchar_t*) with a warning only: no
// constructor of an owner that frees it may be reachable from a raw one.
static_assert(!std::is_constructible_v<UniqueBstr, BSTR>);
static_assert(!std::is_convertible_v<BSTR, UniqueBstr>);
static_assert(!std::is_constructible_v<UniqueResource<handle_traits::Bstr>, BSTR>);

TEST(UniqueBstr, TextIsAllocatedAndABstrIsAdoptedByName) {
    const wchar_t* literal = L"UTF-8";
    UniqueBstr copy(literal);
    ASSERT_NE(copy.get(), nullptr);
    EXPECT_NE(copy.get(), literal);
    EXPECT_EQ(::SysStringLen(copy.get()), 5u);
    EXPECT_EQ(copy.str(), L"UTF-8");
    const UniqueBstr empty(L""), none(static_cast<const wchar_t*>(nullptr));
    EXPECT_EQ(::SysStringLen(empty.get()), 0u);
    EXPECT_EQ(none.str(), L"");

    const std::wstring withNull(L"a\0b", 3);
    BSTR raw = ::SysAllocStringLen(withNull.data(), 3);
    const UniqueBstr adopted = UniqueBstr::adopt(raw);
    EXPECT_EQ(adopted.get(), raw);
    EXPECT_EQ(adopted.str(), withNull);
}

// A real COM object, the system's error information, asked for an interface
// it has and for one it lacks.
TEST(ComPtr, QueryRaisesTheAnswerAndTryQueryReturnsItWithAnEmptyPointer) {
    ComPtr<ICreateErrorInfo> created;
    ASSERT_EQ(::CreateErrorInfo(created.put()), S_OK);
    EXPECT_TRUE(created.query<IErrorInfo>(IID_IErrorInfo));
    HRESULT result = E_FAIL;
    EXPECT_TRUE(created.try_query<IErrorInfo>(IID_IErrorInfo, &result));
    EXPECT_EQ(result, S_OK);

    EXPECT_FALSE(created.try_query<IDispatch>(IID_IDispatch, &result));
    EXPECT_EQ(result, E_NOINTERFACE);
    try {
        created.query<IDispatch>(IID_IDispatch);
        ADD_FAILURE() << "no error for a missing interface";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), E_NOINTERFACE);
    }

    const ComPtr<IErrorInfo> none;
    EXPECT_FALSE(none.try_query<IDispatch>(IID_IDispatch, &result));
    EXPECT_EQ(result, E_POINTER);
    EXPECT_THROW(none.query<IDispatch>(IID_IDispatch), _com_error);
}
