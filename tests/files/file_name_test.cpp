#include "files/file_name.h"

#include "diagnostics/exceptions.h"
#include "files/os_version.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using namespace VFileName;

std::string runtimeText(const std::wstring& directory, const std::wstring& file) {
    try {
        joinLongPath(directory, file);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(PathCanonicalize, ResolvesDotsAndKeepsPrefixAndSeparators) {
    EXPECT_EQ(canonicalize(L"C:/a/./b/../c/"), L"C:\\a\\c\\");
    EXPECT_EQ(canonicalize(L"..\\..\\x"), L"..\\..\\x");
    EXPECT_EQ(canonicalize(L"a\\..\\..\\x"), L"..\\x");
    EXPECT_EQ(canonicalize(L"\\\\?\\C:\\a\\..\\b"), L"\\\\?\\C:\\b");
    EXPECT_EQ(canonicalize(L"\\\\.\\pipe\\x\\.\\y"), L"\\\\.\\pipe\\x\\y");
    EXPECT_EQ(canonicalize(L"\\a\\\\b\\"), L"\\a\\b\\");
    EXPECT_EQ(canonicalize(L"C:\\"), L"C:\\");
    EXPECT_EQ(canonicalize(L""), L"");
}

TEST(PathCanonicalize, NeverClimbsAboveADriveOrAShare) {
    EXPECT_EQ(canonicalize(L"C:\\..\\x"), L"C:\\x");
    EXPECT_EQ(canonicalize(L"C:\\a\\..\\..\\..\\x"), L"C:\\x");
    // A UNC path stays a UNC path, and ".." stops at its share.
    EXPECT_EQ(canonicalize(L"\\\\server\\share\\x\\..\\y"), L"\\\\server\\share\\y");
    EXPECT_EQ(canonicalize(L"\\\\server\\share\\..\\y"), L"\\\\server\\share\\y");
    EXPECT_EQ(canonicalize(L"//server/share/"), L"\\\\server\\share\\");
}

TEST(PathLongForm, ToLongPathAndStripLongPrefix) {
    EXPECT_EQ(toLongPath(L"C:"), L"\\\\?\\C:\\");
    EXPECT_EQ(toLongPath(L"c:/dir/./f.txt"), L"\\\\?\\c:\\dir\\f.txt");
    EXPECT_EQ(toLongPath(L"\\\\server\\share\\a\\..\\b"), L"\\\\server\\share\\a\\..\\b");
    EXPECT_EQ(toLongPath(L"rel\\..\\x"), L"rel\\..\\x");
    EXPECT_EQ(toLongPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
    // Drive-relative: against the drive's current directory.
    testing_support::ScratchDir scratch;
    std::wstring previous(MAX_PATH, L'\0');
    previous.resize(::GetCurrentDirectoryW(MAX_PATH, previous.data()));
    ASSERT_TRUE(::SetCurrentDirectoryW(scratch.path().c_str()));
    const std::wstring drive = scratch.path().substr(0, 2);
    EXPECT_EQ(toLongPath(drive + L"foo"), L"\\\\?\\" + scratch.path() + L"\\foo");
    EXPECT_EQ(toLongPath(drive + L"a\\..\\bar"), L"\\\\?\\" + scratch.path() + L"\\bar");
    ::SetCurrentDirectoryW(previous.c_str());
    EXPECT_EQ(stripLongPrefix(L"\\\\?\\C:\\x"), L"C:\\x");
    EXPECT_EQ(stripLongPrefix(L"\\??\\C:\\x"), L"C:\\x");
    EXPECT_EQ(stripLongPrefix(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
}

TEST(PathCombine, JoinsWithOneSeparatorOnEveryWay) {
    EXPECT_EQ(combine(L"C:\\dir\\", L"\\file.txt"), L"C:\\dir\\file.txt");
    EXPECT_EQ(detail::combineClassic(L"C:\\dir\\", L"\\file.txt"), L"C:\\dir\\file.txt");
    EXPECT_EQ(detail::combineWithPathApi(L"C:\\dir\\", L"\\file.txt"), L"C:\\dir\\file.txt");
    EXPECT_EQ(detail::combineClassic(L"C:\\dir", L"sub\\x.txt"), L"C:\\dir\\sub\\x.txt");
    EXPECT_EQ(detail::combineWithPathApi(L"C:\\dir", L"sub\\..\\x.txt"), L"C:\\dir\\x.txt");
}

TEST(PathCombine, LongPathsOnEveryWay) {
    std::wstring directory = L"C:\\base";
    for (int i = 0; i < 30; ++i) directory += L"\\component" + std::to_wstring(i);
    ASSERT_GT(directory.size(), 300u);
    const std::wstring expected = directory + L"\\file.txt";
    EXPECT_EQ(detail::combineClassic(directory + L"\\", L"\\file.txt"), expected);
    EXPECT_EQ(detail::combineWithPathApi(directory + L"\\", L"\\file.txt"), expected);
    EXPECT_EQ(detail::combineClassic(directory, L"x\\..\\.\\file.txt"), expected);
    EXPECT_EQ(combine(directory, L"file.txt"), expected);
}

TEST(PathJoiner, ResolvesComponentsUnderTheLongPrefix) {
    EXPECT_EQ(joinLongPath(L"C:\\dir", L"sub\\..\\x.txt"), L"\\\\?\\C:\\dir\\x.txt");
    EXPECT_EQ(joinLongPath(L"C:/dir//deep/", L".\\x"), L"\\\\?\\C:\\dir\\deep\\x");
    EXPECT_EQ(joinLongPath(L"C:\\dir", L"D:\\y\\.\\z\\"), L"\\\\?\\D:\\y\\z");
    EXPECT_EQ(joinLongPath(L"\\\\server\\share", L"a//b"), L"\\\\server\\share\\a\\b");
    EXPECT_EQ(joinLongPath(L"C:\\dir", L"\\\\server\\share\\"), L"\\\\server\\share");
    EXPECT_EQ(joinLongPath(L"C:\\dir", L"D:"), L"\\\\?\\D:\\");
    EXPECT_EQ(joinLongPath(L"C:\\dir", L".."), L"\\\\?\\C:\\");
    EXPECT_EQ(joinLongPath(L"", L"conout$"), L"conout$");
    // Dots inside names are ordinary characters, also right after a separator run.
    EXPECT_EQ(joinLongPath(L"C:\\dir", L"name.\\b..c\\.hidden"), L"\\\\?\\C:\\dir\\name.\\b..c\\.hidden");
    EXPECT_EQ(joinLongPath(L"C:\\dir\\sub", L"\\..\\x"), L"\\\\?\\C:\\dir\\x");
}

TEST(PathJoiner, EmptyAndClimbingInputsThrow) {
    EXPECT_EQ(runtimeText(L"C:\\", L"..\\.."), "Invalid input path (C:\\) + (..\\..)");
    EXPECT_EQ(runtimeText(L"", L"").rfind("Empty input path: (87) ", 0), 0u);
}

TEST(PathRemoveFileSpec, EveryWay) {
    EXPECT_EQ(removeFileSpec(L"C:\\a\\b\\c.txt"), L"C:\\a\\b");
    EXPECT_EQ(detail::removeFileSpecClassic(L"C:\\a\\b\\c.txt"), L"C:\\a\\b");
    EXPECT_EQ(detail::removeFileSpecWithPathApi(L"C:\\a\\b\\c.txt"), L"C:\\a\\b");
    EXPECT_EQ(detail::removeFileSpecWithPathApi(L"C:\\a"), L"C:\\");
    std::wstring longPath = L"C:\\" + std::wstring(280, L'x');
    EXPECT_EQ(detail::removeFileSpecClassic(longPath + L"\\leaf"), longPath);
    EXPECT_EQ(detail::removeFileSpecClassic(longPath + L"\\"), longPath);
    EXPECT_EQ(detail::removeFileSpecWithPathApi(longPath + L"\\leaf"), longPath);
}

TEST(PathPieces, ComponentsSeparatorsAndSplit) {
    EXPECT_EQ(trimTrailingSeparators(L"C:\\a\\/\\"), L"C:\\a");
    EXPECT_EQ(trimLeadingSeparators(L"/\\a\\"), L"a\\");
    EXPECT_EQ(addTrailingSeparator(L"C:\\a"), L"C:\\a\\");
    EXPECT_EQ(addTrailingSeparator(L"C:\\a\\"), L"C:\\a\\");
    EXPECT_EQ(lastComponent(L"C:\\a\\b\\"), L"b");
    EXPECT_EQ(lastComponent(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(lastComponent(L"plain"), L"plain");
    EXPECT_EQ(fileName(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(extension(L"C:\\a\\b.txt"), L".txt");
    EXPECT_EQ(removeExtension(L"C:\\a\\b.txt"), L"C:\\a\\b");
    EXPECT_TRUE(isRelative(L"a\\b"));
    EXPECT_FALSE(isRelative(L"C:\\a"));
    EXPECT_EQ(root(L"C:\\a\\b"), L"C:\\");
    EXPECT_EQ(split(L";a;;bc;", L";,"), (std::vector<std::wstring>{L"a", L"bc"}));
    EXPECT_EQ(split(L"a,b;c", L";,"), (std::vector<std::wstring>{L"a", L"b", L"c"}));
    EXPECT_EQ(split(L"a<>b<><>c<", L"<>", true), (std::vector<std::wstring>{L"a", L"b", L"c<"}));
}

TEST(PathErrors, RootOfARelativeNameIsAProgramError) {
    try {
        root(L"abc");
        ADD_FAILURE() << "no error";
    } catch (const vexception& e) {
        EXPECT_EQ(e.fullText(), L"PathStripToRoot failed for fileName=abc\n   at (VFileName::root line 25)");
    }
}

TEST(PathEnvironment, ExpandsVariables) {
    ::SetEnvironmentVariableW(L"QUARN_PATH_TEST", L"C:\\expanded");
    EXPECT_EQ(expandEnvironmentStrings(L"%QUARN_PATH_TEST%\\x"), L"C:\\expanded\\x");
    EXPECT_EQ(expandEnvironmentStrings(L""), L"");
    EXPECT_EQ(expandEnvironmentStrings(L"%QUARN_UNSET_VARIABLE%"), L"%QUARN_UNSET_VARIABLE%");
}

namespace {

// Whether the system verifies as at least `major`.`minor` (VerifyVersionInfoW).
bool systemIsAtLeast(DWORD major, DWORD minor) {
    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = major;
    wanted.dwMinorVersion = minor;
    DWORDLONG condition = ::VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = ::VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition) != FALSE;
}

}  // namespace

// The recorded version is the one the system verifies (a server that reports
// 6.2 but verifies as 6.3 is recorded as 6.3), and the Windows 8 question is
// answered from it.
TEST(OsVersionTest, RecordsTheVersionTheSystemVerifies) {
    const OSVERSIONINFOEXW& info = OsVersion::instance().info();
    EXPECT_TRUE(systemIsAtLeast(info.dwMajorVersion, info.dwMinorVersion))
        << info.dwMajorVersion << "." << info.dwMinorVersion;
    EXPECT_FALSE(systemIsAtLeast(info.dwMajorVersion, info.dwMinorVersion + 1))
        << info.dwMajorVersion << "." << info.dwMinorVersion;
    EXPECT_EQ(OsVersion::instance().isWindows8OrLater(), systemIsAtLeast(6, 2));
}
