#include "process/vexecutil.h"

#include "product_settings.h"
#include "diagnostics/text.h"
#include "process/desktop_access.h"
#include "process_test_support.h"
#include "sitectl_control.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace process_testing;
using sandboxkit::SitectlControl;
using testing_support::ScratchDir;

namespace {

// The "name=value" lines of a sitectl report.
std::map<std::string, std::string> readReport(const std::wstring& path) {
    std::map<std::string, std::string> values;
    const std::string text = testing_support::readFileBytes(path);
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find("\r\n", begin);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(begin, end - begin);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        begin = end + 2;
    }
    return values;
}

std::string readToEnd(Con::Pipe& pipe) {
    std::string bytes;
    char chunk[4096];
    while (const DWORD read = pipe.read(chunk, sizeof(chunk), false)) bytes.append(chunk, read);
    return bytes;
}

std::string utf8(const std::wstring& text) { return cstr(text, CP_UTF8); }

// sitectl started by a launcher the test configures.
class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        process.applicationName = sandboxkit::sitectlPath();
        report = scratch.path() + L"\\report.txt";
        control.setText(L"report", report);
    }
    // Starts, reads the output pipe (when there is one) and waits.
    std::string run() {
        process.start();
        std::string output = process.outputReader ? readToEnd(*process.outputReader) : std::string();
        EXPECT_TRUE(process.waitForExit(30000));
        return output;
    }

    ScratchDir scratch;
    SitectlControl control;
    vexecutil process;
    std::wstring report;
};

// An inheritable, signalled event whose value sitectl resets when it
// inherited it.
class Probe {
public:
    explicit Probe(SitectlControl& control) {
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        event_.reset(::CreateEventW(&inheritable, TRUE, TRUE, nullptr));
        control.setNumber(L"probe_handle", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(event_.get())));
    }
    bool reachedChild() const { return ::WaitForSingleObject(event_.get(), 0) == WAIT_TIMEOUT; }

private:
    UniqueHandle event_;
};

}  // namespace

TEST_F(LauncherTest, WithoutRedirectionTheChildGetsAHiddenNewConsoleAndNoHandles) {
    Probe probe(control);
    run();
    EXPECT_EQ(process.exitCode(), 0u);
    auto values = readReport(report);
    EXPECT_EQ(values["flags"], "1");  // STARTF_USESHOWWINDOW only
    EXPECT_EQ(values["show_window"], "0");
    EXPECT_EQ(values["desktop"], "winsta0\\default");
    EXPECT_EQ(values["stdout"], "char");  // a console of its own
    EXPECT_FALSE(probe.reachedChild());
}

TEST_F(LauncherTest, RedirectionInheritsHandlesAndErrorToOutputSharesTheOneReader) {
    Probe probe(control);
    control.setText(L"stdout", L"to standard output;");
    control.setText(L"stderr", L"to standard error");
    process.outputPipe = true;
    process.errorToOutput = true;
    process.noWindow = true;
    EXPECT_EQ(run(), "to standard output;to standard error");
    EXPECT_TRUE(probe.reachedChild());
    auto values = readReport(report);
    EXPECT_EQ(values["flags"], "100");  // STARTF_USESTDHANDLES
    EXPECT_EQ(values["stdout"], "pipe");
    EXPECT_EQ(values["stderr"], "pipe");
}

TEST_F(LauncherTest, SeparateErrorPipeAndBlockingReaders) {
    control.setText(L"stdout", L"out");
    control.setText(L"stderr", L"err");
    process.outputPipe = true;
    process.separateErrorPipe = true;
    process.overlappedPipes = false;
    process.start();
    EXPECT_EQ(dynamic_cast<Con::OverlappedPipe*>(process.outputReader.get()), nullptr);
    char buffer[3];
    EXPECT_EQ(process.outputReader->read(buffer, 3, true), 3u);
    EXPECT_EQ(std::string(buffer, 3), "out");
    EXPECT_EQ(readToEnd(*process.errorReader), "err");
    EXPECT_EQ(readToEnd(*process.outputReader), "");
    EXPECT_TRUE(process.waitForExit(INFINITE));
}

TEST_F(LauncherTest, CommandLineQuotesTheApplicationAndKeepsTheArgumentsAsGiven) {
    const std::wstring folder = scratch.path() + L"\\dir with blanks";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    process.applicationName = folder + L"\\sitectl.exe";
    ASSERT_TRUE(::CopyFileW(sandboxkit::sitectlPath().c_str(), process.applicationName.c_str(), FALSE));
    EXPECT_EQ(process.commandLine(), L"\"" + process.applicationName + L"\" ");
    run();
    EXPECT_EQ(readReport(report)["command_line"], "\"" + utf8(process.applicationName) + "\" ");

    vexecutil second;
    second.applicationName = process.applicationName;
    second.arguments = L"--a  \"b c\"";
    EXPECT_EQ(second.commandLine(), L"\"" + process.applicationName + L"\" --a  \"b c\"");
    vexecutil bare;
    bare.arguments = L"prog.exe x";
    EXPECT_EQ(bare.commandLine(), L"prog.exe x");
}

TEST_F(LauncherTest, WaitWithZeroIsFalseWhileTheChildRuns) {
    control.setNumber(L"wait_ms", 2000);
    process.start();
    EXPECT_FALSE(process.waitForExit(0));
    EXPECT_EQ(process.exitCode(), STILL_ACTIVE);
    EXPECT_TRUE(process.waitForExit(INFINITE));
    EXPECT_EQ(process.exitCode(), 0u);
}

TEST_F(LauncherTest, InputPipeReachesTheChild) {
    control.setNumber(L"echo_input", 1);
    control.setText(L"stdout", L"|");
    process.inputPipe = true;
    process.outputPipe = true;
    try { process.start(); } catch (const vexception& e) { FAIL() << testing::PrintToString(e.fullText()); }
    ASSERT_TRUE(process.inputWriter);
    EXPECT_EQ(process.inputWriter->write("fed through stdin", 17, true), 17u);
    process.inputWriter->close();
    EXPECT_EQ(readToEnd(*process.outputReader), "fed through stdin|");
    EXPECT_TRUE(process.waitForExit(30000));
    EXPECT_EQ(readReport(report)["stdin"], "pipe");
}

TEST_F(LauncherTest, FilesAsStandardInputAndOutput) {
    control.setNumber(L"echo_input", 1);
    control.setText(L"stdout", L"!");
    process.inputFile = scratch.path() + L"\\in.txt";
    process.outputFile = scratch.path() + L"\\out.txt";
    testing_support::makeFile(process.inputFile, "from a file");
    testing_support::makeFile(process.outputFile, std::string(10000, 'x'));
    run();
    // Created anew: nothing of the old content is left.
    EXPECT_EQ(testing_support::readFileBytes(process.outputFile), "from a file!");
    auto values = readReport(report);
    EXPECT_EQ(values["stdin"], "disk");
    EXPECT_EQ(values["stdout"], "disk");
}

TEST_F(LauncherTest, WorkingDirectoryEnvironmentAndDesktopChoice) {
    wchar_t before[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, before);
    process.workingDirectory = scratch.path();
    const wchar_t environment[] = L"QUARN_SITECTL_MARK=from the block\0OTHER=1\0";
    process.environment = environment;
    process.inheritDesktop = true;
    run();
    wchar_t after[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, after);
    EXPECT_STREQ(after, before);
    auto values = readReport(report);
    EXPECT_EQ(_stricmp(values["directory"].c_str(), utf8(scratch.path()).c_str()), 0) << values["directory"];
    EXPECT_EQ(values["mark"], "from the block");
    EXPECT_NE(values["desktop"], "winsta0\\default");
}

TEST_F(LauncherTest, FailuresNameTheStep) {
    process.applicationName = scratch.path() + L"\\missing.exe";
    process.outputPipe = true;
    auto error = expectError<vosexception>([&] { process.start(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 2u);
    const std::wstring tail = L" at CreateProcess '\"" + process.applicationName + L"\" '";
    ASSERT_GE(error->message().size(), tail.size());
    EXPECT_EQ(error->message().substr(error->message().size() - tail.size()), tail);
    EXPECT_EQ(error->context()[0].function, "vexecutil::start");
    EXPECT_EQ(process.processInformation.hProcess, nullptr);
    EXPECT_TRUE(process.outputReader);

    vexecutil file;
    file.applicationName = sandboxkit::sitectlPath();
    file.inputFile = scratch.path() + L"\\no-input.txt";
    auto fileError = expectError<VFileNotFoundException>([&] { file.start(); });
    ASSERT_TRUE(fileError);

    vexecutil notStarted;
    auto waitError = expectError<vosexception>([&] { notStarted.waitForExit(0); });
    ASSERT_TRUE(waitError);
    EXPECT_NE(waitError->message().find(L" at Lock object"), std::wstring::npos);
    auto codeError = expectError<vosexception>([&] { notStarted.exitCode(); });
    ASSERT_TRUE(codeError);
    EXPECT_NE(codeError->message().find(L" at GetExitCodeProcess"), std::wstring::npos);
}

TEST_F(LauncherTest, ThreadImpersonatingItsOwnUserStartsAnOrdinaryChild) {
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    process.outputPipe = true;
    const std::string output = run();
    ::RevertToSelf();
    EXPECT_EQ(output, "sitectl: done\r\n");
    EXPECT_EQ(process.exitCode(), 0u);
}

TEST_F(LauncherTest, ThreadImpersonatingANonAdministratorStartsTheChildAsThatUser) {
    // The process's own user with Administrators for deny only: a user who is
    // no administrator, inside an administrator's process.
    UniqueHandle own, restricted, impersonation;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()));
    const VSID admins = desktop_access::groupSid(desktop_access::AdministratorsClass);
    SID_AND_ATTRIBUTES disable{admins.get(), 0};
    ASSERT_TRUE(::CreateRestrictedToken(own.get(), 0, 1, &disable, 0, nullptr, 0, nullptr, restricted.put()));
    ASSERT_TRUE(::DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                   TokenImpersonation, impersonation.put()));
    ASSERT_TRUE(::SetThreadToken(nullptr, impersonation.get()));
    process.outputPipe = true;
    std::string output;
    try {
        output = run();
    } catch (const vexception& error) {
        ::RevertToSelf();
        FAIL() << testing::PrintToString(error.fullText());
    }
    ::RevertToSelf();
    EXPECT_EQ(output, "sitectl: done\r\n");
    EXPECT_EQ(readReport(report)["desktop"], "winsta0\\default");
}
