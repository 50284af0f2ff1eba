#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/quarn_log.h"
#include "product_settings.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

using namespace testing_support;
using quarn::logging::QuarnLog;

namespace {

// A product root of its own (with "admin\logs") for the test's duration.
class LogFixture : public ::testing::Test {
public:
    void SetUp() override {
        settings.setString(L"PRODUCT_ROOT_D", root.path());
        for (const wchar_t* value : {L"log_debug_enabled", L"log_debug_history", L"log_debug_rotation"})
            settings.remove(value);
        logs = root.path() + L"\\admin\\logs";
        ASSERT_TRUE(::CreateDirectoryW((root.path() + L"\\admin").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    }

    std::wstring logPath(const std::wstring& name, const std::wstring& date) const {
        return logs + L"\\quarnlog_" + name + date + L".log";
    }
    std::vector<std::wstring> names(const std::wstring& pattern = L"*") const { return listNames(logs, pattern); }

    ScratchDir root;
    ProductSettings settings;
    std::wstring logs;
};

std::wstring fileName(const std::wstring& name, const std::wstring& date) {
    return L"quarnlog_" + name + date + L".log";
}

// The UTF-16LE text of a log file after its byte-order mark.
std::wstring textAfterMark(const std::string& bytes) {
    if (bytes.size() < 2) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

std::vector<std::wstring> splitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

const std::string kMark("\xFF\xFE", 2);

}  // namespace

TEST_F(LogFixture, LineIsReadBackByteForByte) {
    {
        QuarnLog log(L"lineformat");
        log.write(L"first line");
        log.write(L"two\nparts");
    }
    const std::string bytes = readFileBytes(logPath(L"lineformat", localDate(0)));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), kMark);
    EXPECT_EQ(bytes.find(kMark, 2), std::string::npos) << "the mark is written once";

    const std::wstring text = textAfterMark(bytes);
    ASSERT_EQ(bytes.size(), 2 + text.size() * 2);
    const auto lines = splitLines(text);
    ASSERT_EQ(lines.size(), 2u);
    const std::wregex shape(LR"((\d{4})/(\d{2})/(\d{2}) \d{2}:\d{2}:\d{2}:\d{3} (\d+) (\d+) (.*))");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, shape));
    EXPECT_EQ(match[1].str() + match[2].str() + match[3].str(), localDate(0));
    EXPECT_EQ(std::stoul(match[4].str()), ::GetCurrentProcessId());
    EXPECT_EQ(std::stoul(match[5].str()), ::GetCurrentThreadId());
    EXPECT_EQ(match[6].str(), L"first line");
    // The text is written unchanged: its own line feed stays a bare LF.
    EXPECT_EQ(lines[1].substr(lines[1].size() - 10), L" two\nparts");
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST_F(LogFixture, OldFileIsKeptAndTodaysFileStarted) {
    const std::wstring old = localDate(-6);
    makeFile(logPath(L"debug", old), kMark);
    {
        QuarnLog log(L"debug");
        log.write(L"rotated");
        EXPECT_EQ(log.currentPath(), logPath(L"debug", localDate(0)));
    }
    EXPECT_EQ(names(), (std::vector<std::wstring>{fileName(L"debug", old), fileName(L"debug", localDate(0))}));
    const std::string today = readFileBytes(logPath(L"debug", localDate(0)));
    EXPECT_EQ(today.substr(0, 2), kMark);
    EXPECT_NE(textAfterMark(today).find(L" rotated\r\n"), std::wstring::npos);
    EXPECT_EQ(readFileBytes(logPath(L"debug", old)), kMark);
}

TEST_F(LogFixture, CurrentNewestFileIsReopenedAndOldestRemoved) {
    // Five files, the newest dated today: still current with rotation 1.
    settings.setDword(L"log_fivea_history", 3);
    for (int day = -4; day <= 0; ++day) makeFile(logPath(L"fivea", localDate(day)), kMark + std::string("x\0", 2));
    {
        QuarnLog log(L"fivea");
        log.write(L"appended");
    }
    std::vector<std::wstring> expected;
    for (int day = -3; day <= 0; ++day) expected.push_back(fileName(L"fivea", localDate(day)));
    EXPECT_EQ(names(), expected);
    const std::string newest = readFileBytes(logPath(L"fivea", localDate(0)));
    EXPECT_EQ(newest.substr(0, 4), kMark + std::string("x\0", 2)) << "no second mark, old content kept";
    EXPECT_EQ(newest.find(kMark, 2), std::string::npos);
    EXPECT_NE(textAfterMark(newest).find(L" appended\r\n"), std::wstring::npos);
}

TEST_F(LogFixture, NewFileJoinsTheListAndTwoOldestAreRemoved) {
    settings.setDword(L"log_fiveb_history", 3);
    for (int day = -5; day <= -1; ++day) makeFile(logPath(L"fiveb", localDate(day)), kMark);
    {
        QuarnLog log(L"fiveb");
        log.write(L"new day");
    }
    std::vector<std::wstring> expected;
    for (int day = -3; day <= 0; ++day) expected.push_back(fileName(L"fiveb", localDate(day)));
    EXPECT_EQ(names(), expected);
}

TEST_F(LogFixture, RotationZeroReopensTodaysFileWithoutRemovingAnExtraFile) {
    settings.setDword(L"log_zerorot_history", 3);
    settings.setDword(L"log_zerorot_rotation", 0);
    for (int day = -4; day <= 0; ++day) makeFile(logPath(L"zerorot", localDate(day)), kMark);
    {
        QuarnLog log(L"zerorot");
        log.write(L"one");
        log.write(L"two");
    }
    std::vector<std::wstring> expected;
    for (int day = -3; day <= 0; ++day) expected.push_back(fileName(L"zerorot", localDate(day)));
    EXPECT_EQ(names(), expected);
    EXPECT_EQ(splitLines(textAfterMark(readFileBytes(logPath(L"zerorot", localDate(0))))).size(), 2u);
}

TEST_F(LogFixture, LogWhoseNameExtendsThisOneIsNeverTouched) {
    settings.setDword(L"log_debug_history", 0);
    for (int day = -8; day <= -5; ++day) makeFile(logPath(L"debugger", localDate(day)), kMark);
    makeFile(logs + L"\\quarnlog_debug-notes.log", kMark);
    {
        QuarnLog log(L"debug");
        log.write(L"line");
    }
    EXPECT_EQ(names(L"quarnlog_debugger*").size(), 4u);
    EXPECT_EQ(names(L"quarnlog_debug-*").size(), 1u);
    EXPECT_EQ(names(L"quarnlog_debug2*").size(), 1u);
}

TEST_F(LogFixture, DisabledLogWritesNothing) {
    settings.setDword(L"log_quiet_enabled", 0);
    {
        QuarnLog log(L"quiet");
        log.write(L"never");
        EXPECT_EQ(log.currentPath(), L"");
    }
    QuarnLog offByDefault(L"util_exec_test", false);
    offByDefault.write(L"never");
    EXPECT_TRUE(names().empty());
}

TEST_F(LogFixture, MissingLogDirectoryRaisesFromWriteAndCreatesNothing) {
    settings.setString(L"PRODUCT_ROOT_D", root.path() + L"\\elsewhere");
    QuarnLog log(L"nodir");
    EXPECT_THROW(log.write(L"x"), vexception);
    EXPECT_EQ(::GetFileAttributesW((root.path() + L"\\elsewhere").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(LogRotationDate, DateIsFileDatePlusDaysOrTodayWhenPast) {
    using quarn::logging::getRotationDate;
    EXPECT_EQ(getRotationDate(L"C:\\x\\" + fileName(L"debug", localDate(0)), L"debug", 1), localDate(1));
    EXPECT_EQ(getRotationDate(L"C:\\x\\" + fileName(L"debug", localDate(0)), L"debug", 5), localDate(5));
    EXPECT_EQ(getRotationDate(fileName(L"debug", localDate(-10)), L"debug", 3), localDate(0));
    EXPECT_EQ(getRotationDate(fileName(L"debug", localDate(0)), L"debug", 0), localDate(0));
}

TEST(LogRotationDate, NameThatDoesNotParseRaises) {
    using quarn::logging::getRotationDate;
    try {
        getRotationDate(L"C:\\logs\\short.log", L"debug", 1);
        FAIL() << "no exception";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Failed to parse name");
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "quarn::logging::getRotationDate");
        EXPECT_EQ(e.context()[0].line, 59);
    }
    EXPECT_THROW(getRotationDate(L"quarnlog_debug20261300.log", L"debug", 1), vexception);
}

// Processes that append 2,000 lines each to the log `name` at the same time,
// child i serialised by locks[i]; every line must arrive whole, once.
void expectEveryLineWhole(LogFixture& fixture, const std::wstring& name, const std::vector<std::wstring>& locks);

// Four processes append 2,000 lines each to one log at the same time.
TEST_F(LogFixture, FourProcessesShareOneLogWithoutLosingOrTearingLinesSlow) {
    expectEveryLineWhole(*this, L"sharedlog", {L"", L"", L"", L""});
}

// Two writers whose mutexes differ, as a service in session 0 and the monitor
// in a user's session: the append alone keeps their lines apart.
TEST_F(LogFixture, WritersWithDifferentMutexesKeepEveryLineWholeSlow) {
    expectEveryLineWhole(*this, L"twolocks", {L"", L"quarn-test-other-lock-twolocks"});
}

void expectEveryLineWhole(LogFixture& fixture, const std::wstring& name, const std::vector<std::wstring>& locks) {
    std::vector<UniqueHandle> children;
    for (const std::wstring& lock : locks) {
        children.emplace_back(startChildTest("LogChild.DISABLED_WriteLines", name + L"|" + lock));
        ASSERT_TRUE(children.back());
    }
    for (auto& child : children) {
        ASSERT_EQ(::WaitForSingleObject(child.get(), 120000), WAIT_OBJECT_0);
        DWORD code = 1;
        ::GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(code, 0u);
    }
    const auto files = fixture.names(L"quarnlog_" + name + L"*");
    ASSERT_EQ(files.size(), 1u);
    const std::string bytes = readFileBytes(fixture.logs + L"\\" + files[0]);
    ASSERT_EQ(bytes.substr(0, 2), kMark);
    const auto lines = splitLines(textAfterMark(bytes));
    ASSERT_EQ(lines.size(), 2000u * locks.size());
    const std::wregex shape(LR"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}:\d{3} (\d+) \d+ line (\d+) of the shared log)");
    std::vector<std::pair<unsigned long, int>> seen;
    for (const auto& line : lines) {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, shape)) << "torn line";
        seen.emplace_back(std::stoul(match[1].str()), std::stoi(match[2].str()));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen.size(), 2000u * locks.size());
    EXPECT_EQ(seen.front().second, 0);
    EXPECT_EQ(seen.back().second, 1999);
}

// "<log name>|<mutex name>", an empty mutex name for the log's own.
TEST(LogChild, DISABLED_WriteLines) {
    const std::wstring argument = childArgument();
    const size_t bar = argument.find(L'|');
    ASSERT_NE(bar, std::wstring::npos);
    const std::wstring name = argument.substr(0, bar), lock = argument.substr(bar + 1);
    ASSERT_FALSE(name.empty());
    QuarnLog log(name, true, lock.empty() ? name : lock);
    for (int i = 0; i < 2000; ++i) log.write(L"line " + std::to_wstring(i) + L" of the shared log");
}
