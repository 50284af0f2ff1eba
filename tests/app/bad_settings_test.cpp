// Malformed product settings with the monitor running: "Delete Sessions"
// reads the log, pipe and database settings on its way, the crash-dump
// settings are read as at the next start. Every reader keeps the setting's
// documented default and nothing fails because of it.
#include "app/control_dlg.h"

#include "diagnostics/crash_dump.h"
#include "diagnostics/log_manager.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "test_support.h"
#include "website_fixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

std::string bytesOf(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}
std::string dword(DWORD value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

struct Stored {
    const char* form;
    DWORD type;  // REG_NONE: the value is missing
    std::string bytes;
};

// The ways a DWORD setting can be wrong.
const Stored kBadDwords[] = {
    {"a string", REG_SZ, bytesOf(L"1")},
    {"1 byte", REG_BINARY, std::string("\x01", 1)},
    {"2 bytes", REG_BINARY, std::string("\x01\x00", 2)},
    {"8 bytes", REG_BINARY, std::string("\x01\0\0\0\0\0\0\0", 8)},
    {"missing", REG_NONE, {}},
};

struct Expected {
    bool box = false;         // the command ends with an error box
    bool logged = true;       // its statement reaches today's debug log
    bool debugSwitch = true;  // the "Debug" switch is on
    bool dumps = true;        // crash dumps are on...
    DWORD maxCount = 10;      // ...keeping this many
};

struct Case {
    std::wstring name;
    Stored stored;
    Expected expected;
};

std::vector<Case> cases() {
    const std::wstring dwords[] = {L"log_debug_enabled", L"log_debug_history", L"log_debug_rotation",
                                   L"CrashDumpsEnabled", L"CrashDumpsMaxCount", L"PipeConnectTryCount",
                                   L"MySQLConnectionTimeout", L"ADOConnectionTimeout", L"ADOCommandTimeout"};
    std::vector<Case> all;
    for (const Stored& stored : kBadDwords) {
        for (const std::wstring& name : dwords) all.push_back({name, stored, {}});
        // "Debug" is off unless set.
        all.push_back({L"Debug", stored, {.logged = false, .debugSwitch = false}});
    }
    for (const wchar_t* suffix : {L"_enabled", L"_history", L"_rotation"}) {
        const bool silenced = std::wstring(suffix) == L"_enabled";
        all.push_back({L"log_debug" + std::wstring(suffix), {"0", REG_DWORD, dword(0)}, {.logged = !silenced}});
        all.push_back({L"log_debug" + std::wstring(suffix), {"0xFFFFFFFF", REG_DWORD, dword(0xFFFFFFFF)}, {}});
    }
    const std::wstring tooLong(300, L'x');
    const std::wstring file = L"C:\\Quarn\\admin\\bin\\sitectl.exe";
    // A pipe of no usable name: an empty one is the default "zrtpipe".
    all.push_back({L"zrtpipe", {"empty", REG_SZ, bytesOf(L"")}, {}});
    all.push_back({L"zrtpipe", {"longer than MAX_PATH", REG_SZ, bytesOf(tooLong)}, {.box = true, .logged = false}});
    all.push_back({L"zrtpipe", {"a file", REG_SZ, bytesOf(file)}, {.box = true, .logged = false}});
    // No product root: no log file and no dumps, the commands still work
    // (they take the root from the management service).
    const Expected noRoot{.logged = false, .dumps = false};
    all.push_back({L"PRODUCT_ROOT_D", {"empty", REG_SZ, bytesOf(L"")}, noRoot});
    all.push_back({L"PRODUCT_ROOT_D", {"longer than MAX_PATH", REG_SZ, bytesOf(L"C:\\" + tooLong)}, noRoot});
    all.push_back({L"PRODUCT_ROOT_D", {"a file", REG_SZ, bytesOf(file)}, noRoot});
    all.push_back({L"PRODUCT_ROOT_D", {"missing", REG_NONE, {}}, noRoot});
    return all;
}

size_t occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The switch is read again on every sixteenth query.
bool debugSwitchNow() {
    bool on = false;
    for (int i = 0; i < 16; ++i) on = LogManager::debugEnabled();
    return on;
}

// One run per setting (each its own process, within the per-test time
// limit), every row of the table for that setting in turn.
class BadSettings : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(BadSettings, EveryReaderKeepsTheDefaultAndEveryCommandWorks) {
    SessionsKept kept;
    OpenMonitor monitor;
    // The folder an empty product root would make the log's.
    ScratchDir current;
    ASSERT_TRUE(::CreateDirectoryW((current.path() + L"\\admin").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((current.path() + L"\\admin\\logs").c_str(), nullptr));
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(current.path().c_str());

    for (const Case& c : cases()) {
        if (c.name != GetParam()) continue;
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()) + " " + c.stored.form);
        // The pipe name is read when the client connects: a restarted
        // service (which reads the good name) makes it connect again.
        if (c.name == L"zrtpipe") {
            bringTo(kManagement, SERVICE_STOPPED);
            bringTo(kManagement, SERVICE_RUNNING);
        }
        ProductSettings settings;
        if (c.stored.type == REG_NONE)
            settings.remove(c.name);
        else
            settings.setRaw(c.name, c.stored.type, c.stored.bytes);
        EXPECT_EQ(debugSwitchNow(), c.expected.debugSwitch);
        const size_t before = occurrences(debugLogText(), L"SQL: DELETE FROM sessions");

        const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
        EXPECT_EQ(boxes.size(), c.expected.box ? 1u : 0u);
        for (const SeenBox& box : boxes) {
            EXPECT_EQ(box.caption, kDeleteCaption);
            EXPECT_TRUE(c.expected.box) << std::string(box.text.begin(), box.text.end());
        }
        EXPECT_EQ(occurrences(debugLogText(), L"SQL: DELETE FROM sessions") > before, c.expected.logged);
        const CrashDumpInfo dumps;
        EXPECT_EQ(dumps.enabled(), c.expected.dumps);
        if (c.expected.dumps) {
            EXPECT_EQ(dumps.maxCount(), c.expected.maxCount);
        }
    }
    EXPECT_TRUE(listNames(current.path() + L"\\admin\\logs", L"*").empty());
    ::SetCurrentDirectoryW(previous);
}

INSTANTIATE_TEST_SUITE_P(Setting, BadSettings,
                         ::testing::Values(L"Debug", L"log_debug_enabled", L"log_debug_history", L"log_debug_rotation",
                                           L"CrashDumpsEnabled", L"CrashDumpsMaxCount", L"PipeConnectTryCount",
                                           L"MySQLConnectionTimeout", L"ADOConnectionTimeout", L"ADOCommandTimeout",
                                           L"zrtpipe", L"PRODUCT_ROOT_D"));

}  // namespace
