#include "layout.h"

#include "sitectl_control.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace sandbox::layout;

TEST(LayoutCopy, ProgramsAreCopiedIntoPlaceAndRemovedWithTheirEmptyFolders) {
    testing_support::ScratchDir scratch;
    const std::wstring target = scratch.path() + L"\\product\\admin\\bin64\\sitectl.exe";
    const Layout layout = parseLayout(L"[copy]\n" + target + L" = sitectl.exe\n");
    ASSERT_EQ(layout.copies.size(), 1u);
    EXPECT_EQ(layout.copies[0].source, L"sitectl.exe");

    applyLayout(layout);
    EXPECT_NE(::GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
    applyLayout(layout);  // again: replaced in place
    removeLayout(layout);
    EXPECT_EQ(::GetFileAttributesW(target.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(::GetFileAttributesW((scratch.path() + L"\\product").c_str()), INVALID_FILE_ATTRIBUTES);
    removeLayout(layout);  // what is gone is skipped

    EXPECT_THROW(parseLayout(L"[copy]\n" + target + L" =\n"), LayoutError);
    EXPECT_THROW(parseLayout(L"[copy extra]\n"), LayoutError);
    const Layout missing = parseLayout(L"[copy]\n" + target + L" = no-such-program.exe\n");
    EXPECT_THROW(applyLayout(missing), LayoutError);
}
