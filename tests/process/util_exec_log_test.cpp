#include "process/quarn_util.h"

#include "product_settings.h"
#include "config/product_configuration.h"
#include "diagnostics/text.h"
#include "sandbox_kit.h"
#include "sitectl_control.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

// The "util_exec" log of the sandbox, emptied for the test and switched by
// "log_util_exec_enabled".
class UtilExecLog : public ::testing::Test {
protected:
    void SetUp() override {
        folder = getProductRoot() + L"\\admin\\logs";
        removeFiles();
    }
    void TearDown() override { removeFiles(); }

    void removeFiles() {
        for (const std::wstring& name : listNames(folder, L"quarnlog_util_exec*.log"))
            ::DeleteFileW((folder + L"\\" + name).c_str());
    }

    // The text after the time, process and thread prefix of every line.
    std::vector<std::wstring> lines() const {
        std::vector<std::wstring> result;
        for (const std::wstring& name : listNames(folder, L"quarnlog_util_exec*.log")) {
            std::string bytes = readFileBytes(folder + L"\\" + name);
            if (bytes.size() >= 2) bytes.erase(0, 2);  // the byte-order mark
            std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
            static const std::wregex prefix(L"^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3} \\d+ \\d+ ");
            size_t begin = 0;
            while (begin < text.size()) {
                size_t end = text.find(L"\r\n", begin);
                if (end == std::wstring::npos) end = text.size();
                const std::wstring line = text.substr(begin, end - begin);
                std::wsmatch match;
                EXPECT_TRUE(std::regex_search(line, match, prefix)) << testing::PrintToString(line);
                result.push_back(line.substr(match.length(0)));
                begin = end + 2;
            }
        }
        return result;
    }

    static std::wstring self() {
        wchar_t path[MAX_PATH];
        ::GetModuleFileNameW(nullptr, path, MAX_PATH);
        return path;
    }

    std::wstring folder;
    ProductSettings settings;
    sandboxkit::SitectlControl control;
};

}  // namespace

TEST_F(UtilExecLog, ARunWritesAStartAndAnEndLine) {
    settings.setDword(L"log_util_exec_enabled", 1);
    control.setNumber(L"wait_ms", 300);
    ASSERT_EQ(execQuarnUtil(L"sitectl", L"--db-password=value --user=a"), 0);
    const std::wstring utility = getAdminBin64Dir() + L"\\sitectl.exe";
    const std::vector<std::wstring> logged = lines();
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0], L"execUtil(Start)\t" + self() + L"\t" + utility + L"\t\"--db-password=*\" \"--user=a\"\t\n");
    const std::wstring endStart = L"execUtil(End)\t" + self() + L"\t" + utility + L"\t\"--db-password=*\" \"--user=a\"\t";
    ASSERT_EQ(logged[1].substr(0, endStart.size()), endStart);
    const std::wstring elapsed = logged[1].substr(endStart.size());
    ASSERT_TRUE(std::regex_match(elapsed, std::wregex(L"\\d+\n"))) << testing::PrintToString(elapsed);
    EXPECT_GE(std::stoul(elapsed), 300u);
    EXPECT_LT(std::stoul(elapsed), 30000u);
}

TEST_F(UtilExecLog, AFailingRunWritesOnlyItsStartLine) {
    settings.setDword(L"log_util_exec_enabled", 1);
    control.setNumber(L"exit_code", 2);
    EXPECT_EQ(execQuarnUtil(L"sitectl", L"", nullptr, false), 2);
    std::vector<std::wstring> logged = lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].substr(0, 16), L"execUtil(Start)\t");
    // Not found: the start is never reached.
    EXPECT_EQ(execQuarnUtil(sandboxkit::uniqueName(L"missing"), L"", nullptr, false), -1);
    EXPECT_EQ(lines().size(), 1u);
}

TEST_F(UtilExecLog, NothingIsWrittenWithoutTheSwitch) {
    settings.remove(L"log_util_exec_enabled");
    EXPECT_EQ(execQuarnUtil(L"sitectl", L""), 0);
    settings.setDword(L"log_util_exec_enabled", 0);
    EXPECT_EQ(execQuarnUtil(L"sitectl", L""), 0);
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(listNames(folder, L"quarnlog_util_exec*.log").empty());
}

TEST_F(UtilExecLog, AnUnwritableLogDoesNotStopTheRun) {
    settings.setDword(L"log_util_exec_enabled", 1);
    // A folder where today's log file would be: the line cannot be written.
    const std::wstring blocker = folder + L"\\quarnlog_util_exec" + localDate(0) + L".log";
    ASSERT_TRUE(::CreateDirectoryW(blocker.c_str(), nullptr));
    EXPECT_EQ(execQuarnUtil(L"sitectl", L""), 0);
    ::RemoveDirectoryW(blocker.c_str());
}
