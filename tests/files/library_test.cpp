#include "files/library.h"

#include "diagnostics/exceptions.h"
#include "files/file_name.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace {

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

}  // namespace

TEST(Library, LoadsFindsProceduresAndUnloads) {
    VLibrary library(L"version.dll");
    EXPECT_EQ(library.name(), L"version.dll");
    EXPECT_EQ(lower(VFileName::fileName(library.fileName())), L"version.dll");
    using GetSize = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    const auto getSize = library.procedure<GetSize>(L"GetFileVersionInfoSizeW");
    ASSERT_NE(getSize, nullptr);
    library.unload();
    EXPECT_EQ(library.handle(), nullptr);
    EXPECT_EQ(library.name(), L"");
    library.unload();  // nothing held: nothing to do
}

TEST(Library, MissingLibraryAndProcedureRaise) {
    try {
        VLibrary missing(L"quarn-no-such-library.dll");
        ADD_FAILURE() << "no error";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L"at LoadLibrary(quarn-no-such-library.dll)"), std::wstring::npos);
        EXPECT_EQ(e.context().back().function, "VLibrary::load");
        EXPECT_EQ(e.context().back().line, 143);
    }
    VLibrary library(L"kernel32.dll");
    try {
        library.getProcAddress(L"QuarnNoSuchProcedure");
        ADD_FAILURE() << "no error";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L"at GetProcAddress(QuarnNoSuchProcedure)"), std::wstring::npos);
        EXPECT_EQ(e.context().back().function, "VModule::getProcAddress");
        EXPECT_EQ(e.context().back().line, 47);
    }
}

TEST(Library, ModuleOfTheProgramItself) {
    VModule self(::GetModuleHandleW(nullptr));
    EXPECT_EQ(lower(VFileName::extension(self.fileName())), L".exe");
}
