#include "files/directory.h"

#include "diagnostics/exceptions.h"
#include "files/file_name.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace {

using testing_support::ScratchDir;

void touch(const std::wstring& path) {
    HANDLE file = ::CreateFileW(VFileName::toLongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
}

}  // namespace

TEST(DirectoryCreate, CreatesEveryMissingParent) {
    ScratchDir scratch;
    const std::wstring deepest = scratch.path() + L"\\a\\b\\c\\";
    VDirectory::createDirectory(deepest);
    bool isFile = true;
    EXPECT_TRUE(VDirectory::exists(scratch.path() + L"\\a\\b\\c", &isFile));
    EXPECT_FALSE(isFile);
    // A second call finds everything in place.
    VDirectory::createDirectory(deepest);
}

TEST(DirectoryCreate, ExistingFileIsLeftAlone) {
    ScratchDir scratch;
    const std::wstring file = scratch.path() + L"\\plain.txt";
    touch(file);
    VDirectory::createDirectory(file);
    bool isFile = false;
    EXPECT_TRUE(VDirectory::exists(file, &isFile));
    EXPECT_TRUE(isFile);
    // Below a file nothing can be created: the platform's error comes back.
    EXPECT_THROW(VDirectory::createDirectory(file + L"\\sub"), vosexception);
}

TEST(DirectoryCreate, PathsLongerThanMaxPath) {
    ScratchDir scratch;
    std::wstring deep = scratch.path();
    for (int i = 0; i < 30; ++i) deep += L"\\directory" + std::to_wstring(i);
    ASSERT_GT(deep.size(), static_cast<size_t>(MAX_PATH));
    VDirectory::createDirectory(deep);
    EXPECT_TRUE(VDirectory::exists(deep));
    touch(deep + L"\\f.txt");
    EXPECT_TRUE(VDirectory::exists(VFileName::combine(deep, L"f.txt")));
}

TEST(DirectoryCreate, RelativeNameAndMissingDriveEndWithoutRecursingForever) {
    ScratchDir scratch;
    const std::wstring before = VDirectory::current();
    ASSERT_TRUE(::SetCurrentDirectoryW(scratch.path().c_str()));
    VDirectory::createDirectory(L"relative");
    EXPECT_TRUE(VDirectory::exists(scratch.path() + L"\\relative"));
    EXPECT_EQ(VFileName::trimTrailingSeparators(VDirectory::current()), scratch.path());
    ::SetCurrentDirectoryW(before.c_str());

    for (wchar_t drive = L'Q'; drive <= L'Y'; ++drive) {
        const std::wstring root = std::wstring(1, drive) + L":\\";
        if (::GetDriveTypeW(root.c_str()) != DRIVE_NO_ROOT_DIR) continue;
        EXPECT_THROW(VDirectory::createDirectory(root + L"x\\y"), vosexception);
        return;
    }
}

TEST(DirectoryCreate, ErrorTexts) {
    try {
        VDirectory::createDirectory(L"");
        ADD_FAILURE() << "no error";
    } catch (const ArgumentException& e) {
        EXPECT_EQ(e.fullText(),
                  L"Unable to create directory with wrong name\n   at (VDirectory::createDirectory line 92)");
    }
    ScratchDir scratch;
    try {
        makeDir(scratch.path());
        ADD_FAILURE() << "no error";
    } catch (const VAlreadyExistsException& e) {
        EXPECT_NE(e.message().find(L"(Error code 183) at CreateDirectory(" + scratch.path() + L")"), std::wstring::npos);
        EXPECT_EQ(e.context().back().function, "makeDir");
        EXPECT_EQ(e.context().back().line, 44);
    }
}

TEST(DirectoryExists, EmptyAndMissingPaths) {
    EXPECT_FALSE(VDirectory::exists(L""));
    ScratchDir scratch;
    EXPECT_FALSE(VDirectory::exists(scratch.path() + L"\\none"));
    EXPECT_TRUE(VDirectory::exists(scratch.path()));
}
