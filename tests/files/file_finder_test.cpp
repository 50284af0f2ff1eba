#include "files/file_finder.h"

#include "files/directory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using testing_support::ScratchDir;

void touch(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ::CloseHandle(file);
}

// top.log, top.txt, d1\one.log, d1\d2\two.log, d1\d2.log\ (a directory matching the mask)
class Tree : public ::testing::Test {
protected:
    void SetUp() override {
        VDirectory::createDirectory(at(L"d1\\d2"));
        VDirectory::createDirectory(at(L"d1\\d2.log"));
        touch(at(L"top.log"));
        touch(at(L"top.txt"));
        touch(at(L"d1\\one.log"));
        touch(at(L"d1\\d2\\two.log"));
    }
    std::wstring at(const std::wstring& relative) const { return scratch_.path() + L"\\" + relative; }
    std::vector<std::wstring> find(int depth) const {
        std::list<std::wstring> files;
        findFiles(scratch_.path(), L"*.log", files, depth);
        std::vector<std::wstring> sorted(files.begin(), files.end());
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }

    ScratchDir scratch_;
};

}  // namespace

TEST_F(Tree, FindFilesDepthZeroListsOnlyTheTop) {
    EXPECT_EQ(find(0), (std::vector<std::wstring>{at(L"top.log")}));
}

TEST_F(Tree, FindFilesDepthOneAndUnlimited) {
    EXPECT_EQ(find(1), (std::vector<std::wstring>{at(L"d1\\one.log"), at(L"top.log")}));
    EXPECT_EQ(find(-1), (std::vector<std::wstring>{at(L"d1\\d2\\two.log"), at(L"d1\\one.log"), at(L"top.log")}));
}

TEST_F(Tree, FinderWalksEntriesWithDotsAndDirectories) {
    VFileFinder finder;
    std::vector<std::wstring> names;
    int dots = 0;
    for (bool found = finder.first(at(L"d1\\*")); found; found = finder.next()) {
        if (finder.isDots()) {
            ++dots;
            continue;
        }
        names.push_back(finder.name() + (finder.isDirectory() ? L"\\" : L""));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"d2.log\\", L"d2\\", L"one.log"}));
    EXPECT_EQ(dots, 2);
    EXPECT_FALSE(finder.next());
}

TEST(FileFinder, MissingDirectoryIsAResult) {
    ScratchDir scratch;
    VFileFinder finder;
    EXPECT_FALSE(finder.first(scratch.path() + L"\\missing\\*.*"));
    EXPECT_FALSE(finder.first(scratch.path() + L"\\*.none"));
    EXPECT_FALSE(finder.next());
    std::list<std::wstring> files;
    findFiles(scratch.path() + L"\\missing", L"*.*", files, -1);
    EXPECT_TRUE(files.empty());
}
