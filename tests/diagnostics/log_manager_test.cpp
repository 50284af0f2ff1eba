#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "product_settings.h"
#include "test_support.h"
#include "threading/execute_context.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace testing_support;

namespace {

// "Debug" on and a product root with "admin\logs".
class DebugLogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        settings.setString(L"PRODUCT_ROOT_D", root.path());
        settings.setDword(L"Debug", 1);
        settings.remove(L"log_debug_enabled");
        settings.remove(L"log_debug_history");
        settings.remove(L"log_debug_rotation");
        logs = root.path() + L"\\admin\\logs";
        ::CreateDirectoryW((root.path() + L"\\admin").c_str(), nullptr);
        ASSERT_TRUE(::CreateDirectoryW(logs.c_str(), nullptr));
    }

    std::wstring todaysFile() const { return logs + L"\\quarnlog_debug" + localDate(0) + L".log"; }
    std::wstring debugText() const {
        const std::string bytes = readFileBytes(todaysFile());
        if (bytes.size() < 2) return {};
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    size_t debugLines() const {
        const std::wstring text = debugText();
        size_t count = 0;
        for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at + 2)) ++count;
        return count;
    }

    ScratchDir root;
    ProductSettings settings;
    std::wstring logs;
};

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST_F(DebugLogFixture, EveryLevelGoesToTheDebugFileWithItsName) {
    LogManager::print(LogInfo, L"value %d of %s", 7, L"seven");
    LogManager::print(LogWarning, L"careful");
    vexception error(L"it broke", ContextEntry{L"doing it", "ns::fn", 12});
    LogManager::logError(LogCrash, error);
    LogManager::print(9, L"odd level");

    const std::wstring text = debugText();
    EXPECT_NE(text.find(L" Info: value 7 of seven\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L" Warning: careful\r\n"), std::wstring::npos);
    EXPECT_NE(text.find(L" Crash: it broke\n   at doing it(ns::fn line 12)\r\n"), std::wstring::npos);
    EXPECT_TRUE(endsWith(text, L" Unknown level: odd level\r\n"));
    EXPECT_EQ(readFileBytes(todaysFile()).substr(0, 2), std::string("\xFF\xFE", 2));
}

TEST_F(DebugLogFixture, LogDebugEnabledZeroStopsTheDebugFile) {
    settings.setDword(L"log_debug_enabled", 0);
    LogManager::print(LogError, L"not written");
    EXPECT_EQ(::GetFileAttributesW(todaysFile().c_str()), INVALID_FILE_ATTRIBUTES);
    settings.setDword(L"log_debug_enabled", 1);
    LogManager::print(LogError, L"written");
    EXPECT_EQ(debugLines(), 1u);
    EXPECT_TRUE(endsWith(debugText(), L" Error: written\r\n"));
}

TEST_F(DebugLogFixture, DebugSwitchIsCachedAndReadAgainWithinSixteenQueries) {
    LogManager::print(LogInfo, L"first");
    ASSERT_EQ(debugLines(), 1u);
    settings.setDword(L"Debug", 0);
    for (int i = 0; i < 40; ++i) LogManager::print(LogInfo, L"more");
    const size_t lines = debugLines();
    EXPECT_GE(lines, 2u) << "the cached value answers between reads";
    EXPECT_LE(lines, 17u) << "the switch is read again within sixteen queries";
}

TEST_F(DebugLogFixture, MissingLogDirectorySkipsTheLineSilently) {
    settings.setString(L"PRODUCT_ROOT_D", root.path() + L"\\nowhere");
    LogManager::print(LogError, L"lost");
    LogManager::logError(LogCrash, vexception(L"also lost"));
    EXPECT_EQ(::GetFileAttributesW((root.path() + L"\\nowhere").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(DebugLogFixture, UnremovableOldFileIsReportedWithoutRecursingIntoTheLog) {
    settings.setDword(L"log_debug_history", 0);
    const std::wstring old = logs + L"\\quarnlog_debug" + localDate(-3) + L".log";
    makeFile(old, std::string("\xFF\xFE", 2));
    // Held open without delete sharing: the removal fails while the message
    // is being written, and that failure is logged in turn.
    UniqueFileHandle held(::CreateFileW(old.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    LogManager::print(LogInfo, L"with a stuck old file");
    EXPECT_EQ(debugLines(), 1u);
    EXPECT_TRUE(endsWith(debugText(), L" Info: with a stuck old file\r\n"));
    EXPECT_NE(::GetFileAttributesW(old.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(LogStandardOutput, ResultAndAboveAreSeparatedByLineFeeds) {
    ProductSettings settings;
    settings.setDword(L"Debug", 0);
    std::string output;
    ASSERT_EQ(runChildTest("LogChild.DISABLED_PrintEveryLevel", L"stdout", &output), 0) << output;
    const size_t begin = output.find("<<<");
    const size_t end = output.find(">>>");
    ASSERT_NE(begin, std::string::npos) << output;
    ASSERT_NE(end, std::string::npos) << output;
    // Standard output is in the C run time's text mode: each line feed
    // reaches the pipe as CR LF.
    EXPECT_EQ(output.substr(begin + 3, end - begin - 3), "result 2\r\nerror 3\r\nunexpected 4\r\ncrash \xC3\xA9 5");
}

// Other modules of the process share the switch table by its layout: standard
// output of level L at byte L, the event log of level L at byte 6 + L.
TEST(LogSwitches, NamedSwitchesChangeTheSharedTableAtItsLayout) {
    LogManager::instance();
    bool created = true;
    const uint8_t* table = ExecuteContext::get().ensureSwitches(created);
    EXPECT_FALSE(created) << "the log creates the table with its defaults";
    for (int level = 0; level < 6; ++level) {
        for (const bool on : {true, false}) {
            LogManager::setRoutesToStdout(level, on);
            LogManager::setRoutesToEventLog(level, !on);
            EXPECT_EQ(table[level], on ? 1 : 0) << level;
            EXPECT_EQ(table[6 + level], on ? 0 : 1) << level;
            EXPECT_EQ(LogManager::routesToStdout(level), on) << level;
            EXPECT_EQ(LogManager::routesToEventLog(level), !on) << level;
        }
    }
    EXPECT_FALSE(LogManager::routesToStdout(6));
    EXPECT_FALSE(LogManager::routesToEventLog(-1));
}

TEST(LogChild, DISABLED_PrintEveryLevel) {
    ASSERT_EQ(childArgument(), L"stdout");
    std::fputs("<<<", stdout);
    std::fflush(stdout);
    LogManager::print(LogInfo, L"info %d", 0);
    LogManager::print(LogWarning, L"warning %d", 1);
    LogManager::print(LogResult, L"result %d", 2);
    LogManager::print(LogError, L"error %d", 3);
    LogManager::print(LogUnexpected, L"unexpected %d", 4);
    LogManager::logError(LogCrash, vexception(L"crash \u00e9 5"));
    std::fputs(">>>", stdout);
    std::fflush(stdout);
}
