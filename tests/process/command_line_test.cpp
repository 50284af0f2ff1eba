#include "process/command_line.h"

#include "diagnostics/handles.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

// The arguments a program receives for `arguments` after its name.
std::vector<std::wstring> parsed(const std::wstring& arguments) {
    int count = 0;
    wchar_t** argv = ::CommandLineToArgvW((L"prog.exe " + arguments).c_str(), &count);
    UniqueLocalMemory owner(argv);
    return std::vector<std::wstring>(argv + 1, argv + count);
}

}  // namespace

TEST(CommandLineQuoting, PlainArgumentsStayAndOthersAreQuoted) {
    EXPECT_EQ(quoteCommandLineArgument(L"--stop-quarn-website"), L"--stop-quarn-website");
    EXPECT_EQ(quoteCommandLineArgument(L""), L"");
    EXPECT_EQ(quoteCommandLineArgument(L"c:\\dir\\file"), L"c:\\dir\\file");
    EXPECT_EQ(quoteCommandLineArgument(L"two words"), L"\"two words\"");
    EXPECT_EQ(quoteCommandLineArgument(L"c:\\my dir\\"), L"\"c:\\my dir\\\\\"");
    EXPECT_EQ(quoteCommandLineArgument(L"--user=a"), L"\"--user=a\"");
    for (const wchar_t* special : {L"a&b", L"a<b", L"a>b", L"[a]", L"{a}", L"a^b", L"a;b", L"a!b", L"a'b", L"a+b",
                                   L"a,b", L"a`b", L"a~b", L"a|b", L"tab\there"})
        EXPECT_EQ(quoteCommandLineArgument(special), L"\"" + std::wstring(special) + L"\"") << special;
    EXPECT_EQ(quoteCommandLineArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
}

TEST(CommandLineQuoting, CommandLineToArgvWGivesEveryArgumentBack) {
    const std::vector<std::wstring> samples = {
        L"c:\\my dir\\", L"quote\"inside", L"ends with quote\"", L"\"", L"back\\\\\"slashes\\\\",
        L"trailing \\\\\\", L"a\\b c\\\\d", L"x=\"y z\"\\", L"plain", L"with\ttab"};
    std::wstring line;
    for (const std::wstring& sample : samples) line += quoteCommandLineArgument(sample) + L" ";
    EXPECT_EQ(parsed(line), samples);
}

TEST(CommandLineMasking, PasswordValuesAreHiddenInAnyCase) {
    EXPECT_EQ(maskCommandLine(L"--db-password=value --user=a"), L"\"--db-password=*\" \"--user=a\"");
    EXPECT_EQ(maskCommandLine(L"--Password=secret PWD=secret --dbPwd=x=y pwd"),
              L"\"--Password=*\" \"PWD=*\" \"--dbPwd=*=*\" pwd");
    EXPECT_EQ(maskCommandLine(L"  --stop-quarn-website  "), L"--stop-quarn-website");
    EXPECT_EQ(maskCommandLine(L"\"c:\\my dir\\\\\" \"two words\""), L"\"c:\\my dir\\\\\" \"two words\"");
    // A value that merely contains the word is kept.
    EXPECT_EQ(maskCommandLine(L"--hint=password"), L"\"--hint=password\"");
}

TEST(CommandLineMasking, EmptyTextAndTheFirstArgumentFollowTheArgumentRules) {
    // CommandLineToArgvW alone would answer the running program's path.
    EXPECT_EQ(maskCommandLine(L""), L"");
    EXPECT_EQ(maskCommandLine(L"   "), L"");
    // Escaped quotes and backslashes in the first argument are undone like
    // in any other.
    const std::wstring first = quoteCommandLineArgument(L"say \"hi\" \\");
    EXPECT_EQ(maskCommandLine(first + L" next"), first + L" next");
    EXPECT_EQ(parsed(maskCommandLine(first)), std::vector<std::wstring>{L"say \"hi\" \\"});
}
