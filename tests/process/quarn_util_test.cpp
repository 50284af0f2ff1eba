#include "process/quarn_util.h"

#include "config/product_configuration.h"
#include "files/file_attributes.h"
#include "files/os_version.h"
#include "process/vexecutil.h"
#include "diagnostics/log_manager.h"
#include "process_test_support.h"
#include "product_settings.h"
#include "sandbox_kit.h"
#include "sitectl_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>

using namespace process_testing;
using sandboxkit::SitectlControl;

namespace {

// A file or folder in one of the sandbox's utility folders for the test.
class UtilityEntry {
public:
    UtilityEntry(const std::wstring& folder, const std::wstring& fileName, bool asFolder = false)
        : path_(folder + L"\\" + fileName), folder_(asFolder) {
        if (asFolder)
            EXPECT_TRUE(::CreateDirectoryW(path_.c_str(), nullptr));
        else
            EXPECT_TRUE(::CopyFileW(sandboxkit::sitectlPath().c_str(), path_.c_str(), FALSE));
    }
    ~UtilityEntry() {
        if (folder_)
            ::RemoveDirectoryW(path_.c_str());
        else
            ::DeleteFileW(path_.c_str());
    }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
    bool folder_;
};

std::wstring bin64(const std::wstring& file) { return getAdminBin64Dir() + L"\\" + file; }

}  // namespace

TEST(UtilityPath, NamesGetTheExeExtensionUnlessTheyHaveIt) {
    EXPECT_EQ(findUtilPath(L"sitectl", true), bin64(L"sitectl.exe"));
    EXPECT_EQ(findUtilPath(L"SiteCtl.EXE", true), bin64(L"SiteCtl.EXE"));
    EXPECT_EQ(findUtilPath(L"sitectl", false), getAdminBinDir() + L"\\sitectl.exe");
    const std::wstring tool = sandboxkit::uniqueName(L"tool");
    UtilityEntry entry(getAdminBin64Dir(), tool + L".cmd.exe");
    EXPECT_EQ(findUtilPath(tool + L".cmd", true), entry.path());
}

TEST(UtilityPath, TheFolderAskedForIsTheOnlyOneSearched) {
    // Wine's prefix is 64-bit: a 32-bit build runs under WOW64 and learns it
    // from IsWow64Process; either build then picks admin\bin64 (above).
    EXPECT_TRUE(isOSWindows64());
    EXPECT_EQ(isRunningUnderWow64(), sizeof(void*) == 4);
    const std::wstring name = sandboxkit::uniqueName(L"only32-");
    UtilityEntry entry(getAdminBinDir(), name + L".exe");
    EXPECT_EQ(findUtilPath(name, false), entry.path());
    auto error = expectError<vexception>([&] { findUtilPath(name, true); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Unable to find path of '" + name + L"'");
    ASSERT_EQ(error->context().size(), 1u);
    EXPECT_EQ(error->context()[0].function, "findUtilPath");

    // Through the public form: wrapped by the start and the run.
    error = expectError<vexception>([&] { execQuarnUtil(name, L"--pwd=util-secret-5"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Unable to find path of '" + name + L"'");
    ASSERT_EQ(error->context().size(), 3u);
    EXPECT_EQ(error->context()[1].function, "startQuarnUtilInternal");
    EXPECT_EQ(error->context()[1].text, L"Starting " + name + L" \"--pwd=*\"");
    EXPECT_EQ(error->context()[2].function, "execQuarnUtil");
    EXPECT_EQ(error->context()[2].text, L"Execute " + name + L" \"--pwd=*\"");
}

TEST(UtilityPath, FileExistTellsFilesFromFoldersAndMissingFromUnreadable) {
    bool isDirectory = true;
    EXPECT_TRUE(fileExist(bin64(L"sitectl.exe"), &isDirectory));
    EXPECT_FALSE(isDirectory);
    EXPECT_TRUE(fileExist(getAdminBin64Dir(), &isDirectory));
    EXPECT_TRUE(isDirectory);
    EXPECT_FALSE(fileExist(bin64(L"missing.exe")));
    EXPECT_FALSE(fileExist(getAdminBin64Dir() + L"\\missing\\deeper.exe"));
    auto error = expectError<vosexception>([] { fileExist(L"C:\\bad<name>|.exe"); });
    ASSERT_TRUE(error);
    EXPECT_NE(error->message().find(L" at retrieves attributes for file or directory C:\\bad<name>|.exe"),
              std::wstring::npos);
    EXPECT_EQ(error->context()[0].function, "fileExist");
}

TEST(UtilityRun, SuccessReturnsZeroWithTheOutputAndRecordsTheRun) {
    SitectlControl control;
    std::wstring output = L"stale";
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"--start-quarn-website", &output), 0);
    EXPECT_EQ(output, L"sitectl: website started\r\n");
    EXPECT_EQ(sandboxkit::websiteState(), L"on");
    const auto runs = sandboxkit::sitectlRuns();
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.back(), bin64(L"sitectl.exe") + L"\t\"" + bin64(L"sitectl.exe") + L"\" --start-quarn-website");
    // The 32-bit folder when asked for.
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"--stop-quarn-website", nullptr, true, nullptr, false), 0);
    EXPECT_EQ(sandboxkit::websiteState(), L"off");
    EXPECT_EQ(sandboxkit::sitectlRuns().back().substr(0, getAdminBinDir().size()), getAdminBinDir());
}

TEST(UtilityRun, NonZeroExitCodeCarriesTheOutput) {
    SitectlControl control;
    control.setText(L"stdout", L"done");
    control.setNumber(L"exit_code", 3);
    std::wstring output;
    auto error = expectError<vexception>([&] { execQuarnUtil(L"sitectl", L"--stop-quarn-website", &output); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Execute sitectl --stop-quarn-website failed with error code 3: done");
    ASSERT_EQ(error->context().size(), 2u);
    EXPECT_EQ(error->context()[0].text, L"");
    EXPECT_EQ(error->context()[0].function, "execQuarnUtil");
    EXPECT_EQ(error->context()[1].text, L"Execute " + bin64(L"sitectl.exe") + L" --stop-quarn-website");
    EXPECT_EQ(output, L"done");

    control.setNumber(L"exit_code", 0xC0000005);
    control.setText(L"stdout", L"crashed");
    error = expectError<vexception>([&] { execQuarnUtil(L"sitectl", L"--Password=util-hidden-6"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), L"Execute sitectl \"--Password=*\" failed with error code -1073741819: crashed");
    EXPECT_EQ(error->fullText().find(L"util-hidden-6"), std::wstring::npos);
}

TEST(UtilityRun, WithoutRethrowTheResultTellsWhatHappened) {
    SitectlControl control;
    EXPECT_EQ(execQuarnUtil(sandboxkit::uniqueName(L"missing"), L"", nullptr, false), -1);
    control.setNumber(L"exit_code", 5);
    control.setText(L"stdout", L"five");
    std::wstring output;
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"", &output, false), 5);
    EXPECT_EQ(output, L"five");
    // A folder where the utility should be: it cannot be started.
    const std::wstring name = sandboxkit::uniqueName(L"folder");
    UtilityEntry folder(getAdminBin64Dir(), name + L".exe", true);
    EXPECT_EQ(execQuarnUtil(name, L"", nullptr, false), -1);
    auto error = expectError<vexception>([&] { execQuarnUtil(name, L""); });
    ASSERT_TRUE(error);
    EXPECT_NE(error->message().find(L" at CreateProcess '\"" + folder.path() + L"\" '"), std::wstring::npos);
    ASSERT_EQ(error->context().size(), 3u);
    EXPECT_EQ(error->context()[0].function, "vexecutil::start");
}

// A utility that cannot be started: the error text, as the log and the box
// show it, names the command line with its password arguments masked.
TEST(UtilityRun, AFailedStartShowsTheMaskedCommandLine) {
    const std::wstring name = sandboxkit::uniqueName(L"folder");
    UtilityEntry folder(getAdminBin64Dir(), name + L".exe", true);
    auto error = expectError<vexception>([&] { execQuarnUtil(name, L"--db-password=util-start-secret-7 -v"); });
    ASSERT_TRUE(error);
    LogManager::logError(LogError, *error);
    EXPECT_NE(error->message().find(L" at CreateProcess '\"" + folder.path() + L"\" \"--db-password=*\" -v'"),
              std::wstring::npos);
    EXPECT_EQ(error->fullText().find(L"util-start-secret-7"), std::wstring::npos);
    EXPECT_EQ(testing_support::debugLogText().find(L"util-start-secret-7"), std::wstring::npos);
}

TEST(UtilityRun, MegabytesOnBothStreamsAndStandardInput) {
    SitectlControl control;
    control.setNumber(L"output_bytes", 3 * 1024 * 1024);
    control.setText(L"stdout", L"<");
    std::wstring output;
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"", &output), 0);
    ASSERT_EQ(output.size(), 1u + 6u * 1024 * 1024);
    EXPECT_EQ(output.front(), L'<');
    EXPECT_EQ(std::count(output.begin(), output.end(), L'e'), std::count(output.begin(), output.end(), L'o'));

    // Input the utility reads to its end: it must see that end.
    SitectlControl echo;
    echo.setNumber(L"echo_input", 1);
    echo.setText(L"stdout", L">");
    const std::string input = "first line\r\nsecond line";
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"", &output, true, &input), 0);
    EXPECT_EQ(output, L"first line\r\nsecond line>");
}

// A utility that prompts before it reads, over the unbuffered pipes, with
// an empty write after its prompt: the input is written while the output is
// read, and the empty write does not end the output (which would leave the
// utility waiting to write the rest).
TEST(UtilityRun, AUtilityThatPromptsBeforeItReadsGetsItsInput) {
    const struct {
        const char* what;
        DWORD prompt;
        size_t input;  // echoed; none when 0
    } cases[] = {
        {"a short prompt, no input", 4, 0},
        {"a megabyte each way", 1024 * 1024, 1024 * 1024},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SitectlControl control;
        control.setNumber(L"prompt_bytes", c.prompt);
        control.setNumber(L"echo_input", c.input != 0);
        control.setText(L"stdout", L"<end>");
        const std::string input(c.input, 'i');
        std::wstring output;
        std::atomic<int> result{-2};
        UniqueHandle run = ThreadCancelation::startThread(
            [&] { result = execQuarnUtil(L"sitectl", L"", &output, true, c.input ? &input : nullptr); });
        if (::WaitForSingleObject(run.get(), 90000) != WAIT_OBJECT_0) {
            // Both processes wait for each other: nothing ends this one but
            // its own end, which breaks the utility's pipes too.
            std::fprintf(stderr, "%s: the utility and its caller are deadlocked\n", c.what);
            std::fflush(stderr);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
        EXPECT_EQ(result, 0);
        ASSERT_EQ(output.size(), c.prompt + c.input + 5);
        EXPECT_EQ(output.substr(0, 4), L"????");
        if (c.input) {
            EXPECT_EQ(output.substr(c.prompt, 4), L"iiii");
        }
        EXPECT_EQ(output.substr(output.size() - 5), L"<end>");
    }
}

TEST(UtilityRun, TheProcessObjectOfAStartHoldsWhatWasStarted) {
    SitectlControl control;
    vexecutil process;
    EXPECT_EQ(startQuarnUtilInternal(L"sitectl", L"--x", nullptr, process, true), 0);
    EXPECT_EQ(process.applicationName, bin64(L"sitectl.exe"));
    EXPECT_EQ(process.arguments, L"--x");
    EXPECT_TRUE(process.noWindow);
    EXPECT_TRUE(process.errorToOutput);
    EXPECT_FALSE(process.inputWriter);
    ASSERT_TRUE(process.outputReader);
    char buffer[64];
    while (process.outputReader->read(buffer, sizeof(buffer), false) != 0) {
    }
    EXPECT_TRUE(process.waitForExit(30000));
}
