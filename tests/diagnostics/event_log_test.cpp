#include "config/registry.h"
#include "diagnostics/handles.h"
#include "diagnostics/log_manager.h"
#include "product_settings.h"
#include "test_support.h"
#include "threading/execute_context.h"
#include "wine_debug_child.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

constexpr char kChannels[] = "-all,+eventlog,fixme+advapi";
constexpr wchar_t kProductLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Quarn";
constexpr wchar_t kApplicationKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr wchar_t kMessageFile[] = L"C:\\Quarn\\admin\\bin\\quarnsrv-events.exe";
constexpr wchar_t kProgram[] = L"test_diagnostics.exe";

std::wstring programPath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

DWORD dwordOf(const std::wstring& key, const wchar_t* name, DWORD missing = 0xFFFFFFFF) {
    DWORD value = 0;
    return registry::lookup(HKEY_LOCAL_MACHINE, key, name, value, registry::ProcessView) == ERROR_SUCCESS ? value
                                                                                                          : missing;
}

std::wstring stringOf(const std::wstring& key, const wchar_t* name) {
    std::wstring value;
    registry::lookup(HKEY_LOCAL_MACHINE, key, name, value, REG_SZ, registry::ProcessView);
    return value;
}

std::vector<std::wstring> sourcesOfProductLog() {
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, kProductLogKey, registry::ProcessView)) return {};
    registry key(HKEY_LOCAL_MACHINE, kProductLogKey, KEY_READ, true);
    registry::StringList names;
    key.enumKeys(names);
    return {names.begin(), names.end()};
}

void deleteTree(const std::wstring& key) {
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

// Runs one child and answers what Wine showed of its event-log calls.
EventLogTrace runTraced(const std::string& test, const std::string& argument, std::string* output = nullptr) {
    WineDebugChild child(test, argument, kChannels);
    const long code = child.wait();
    EXPECT_EQ(code, 0) << child.output() << child.errors();
    if (output) *output = child.output();
    return parseEventLogTrace(child.errors());
}

// The product's event log key missing at the start, "QuarnService" naming a
// message file of the test's own; the key is removed again at the end.
class EventLogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        settings.setString(L"QuarnService", kMessageFile);
        deleteTree(kProductLogKey);
        ASSERT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kProductLogKey, registry::ProcessView));
    }
    void TearDown() override { deleteTree(kProductLogKey); }

    static std::wstring sourceKey(const std::wstring& source) {
        return std::wstring(kProductLogKey) + L"\\" + source;
    }
    void expectSourceValues(const std::wstring& source) const {
        EXPECT_EQ(dwordOf(sourceKey(source), L"TypesSupported"), 7u);
        EXPECT_EQ(stringOf(sourceKey(source), L"EventMessageFile"), kMessageFile);
    }

    ProductSettings settings;
};

// Every level to the event log; standard output keeps its defaults.
void routeEveryLevelToTheEventLog() {
    for (int level = 0; level < 6; ++level) LogManager::setRoutesToEventLog(level, true);
}

}  // namespace

TEST_F(EventLogFixture, FirstMessageCreatesTheProductLogAndLaterRunsKeepItsValues) {
    EventLogTrace trace = runTraced("EventLogChild.DISABLED_ReportOne", "first run");
    EXPECT_EQ(dwordOf(kProductLogKey, L"MaxSize"), 0x800000u);
    EXPECT_EQ(dwordOf(kProductLogKey, L"Retention"), 0u);
    EXPECT_EQ(sourcesOfProductLog(), std::vector<std::wstring>{kProgram});
    expectSourceValues(kProgram);
    EXPECT_EQ(trace.registeredSources, std::vector<std::string>{wineDebugString(kProgram)});
    ASSERT_EQ(trace.events.size(), 1u);
    EXPECT_EQ(trace.events[0].strings.at(0), wineDebugString(L"first run"));

    // An administrator's settings of an existing log survive later runs.
    registry log(HKEY_LOCAL_MACHINE, kProductLogKey, KEY_ALL_ACCESS, true);
    log.set(L"MaxSize", DWORD{0x10000});
    ASSERT_EQ(::RegDeleteValueW(log.handle(), L"Retention"), ERROR_SUCCESS);
    trace = runTraced("EventLogChild.DISABLED_ReportOne", "second run");
    EXPECT_EQ(dwordOf(kProductLogKey, L"MaxSize"), 0x10000u);
    EXPECT_EQ(dwordOf(kProductLogKey, L"Retention"), 0xFFFFFFFFu) << "not written again";
    ASSERT_EQ(trace.events.size(), 1u);
    EXPECT_EQ(trace.events[0].strings.at(0), wineDebugString(L"second run"));
}

TEST_F(EventLogFixture, ProgramThatIsAnApplicationSourceRegistersWithTheLogPrefix) {
    const std::wstring application = std::wstring(kApplicationKey) + L"\\" + kProgram;
    registry created(HKEY_LOCAL_MACHINE, application, KEY_ALL_ACCESS, false);
    created.close();
    struct Remove {
        std::wstring key;
        ~Remove() { deleteTree(key); }
    } removeAtEnd{application};

    const EventLogTrace trace = runTraced("EventLogChild.DISABLED_ReportOne", "prefixed");
    const std::wstring prefixed = std::wstring(L"Quarn:  ") + kProgram;
    EXPECT_EQ(sourcesOfProductLog(), std::vector<std::wstring>{prefixed});
    expectSourceValues(prefixed);
    EXPECT_EQ(trace.registeredSources, std::vector<std::string>{wineDebugString(prefixed)});
    EXPECT_EQ(trace.events.size(), 1u);
}

TEST_F(EventLogFixture, EachLevelHasItsEventTypeAndBothStrings) {
    const EventLogTrace trace = runTraced("EventLogChild.DISABLED_ReportEveryLevel", "");
    struct Expected {
        unsigned type;
        const char* shownAs;
    };
    const Expected expected[6] = {{EVENTLOG_INFORMATION_TYPE, "trace"}, {EVENTLOG_WARNING_TYPE, "warn"},
                                  {EVENTLOG_SUCCESS, "trace"},          {EVENTLOG_ERROR_TYPE, "err"},
                                  {EVENTLOG_ERROR_TYPE, "err"},         {EVENTLOG_ERROR_TYPE, "err"}};
    ASSERT_EQ(trace.events.size(), 6u);
    EXPECT_EQ(trace.registeredSources.size(), 1u) << "registered once and kept";
    for (int level = 0; level < 6; ++level) {
        SCOPED_TRACE(level);
        const TracedEvent& event = trace.events[level];
        EXPECT_EQ(event.type, expected[level].type);
        EXPECT_EQ(event.category, 0u);
        EXPECT_EQ(event.id, 1u);
        EXPECT_EQ(event.stringCount, 2u);
        const std::vector<std::string> strings{wineDebugString(L"event of level " + std::to_wstring(level)),
                                               wineDebugString(programPath())};
        EXPECT_EQ(event.strings, strings);
        EXPECT_EQ(event.classes, (std::vector<std::string>(2, expected[level].shownAs)));
    }
    EXPECT_EQ(trace.deregistrations, 1u);
    EXPECT_TRUE(trace.deregisteredLast) << "the source is released when the log manager ends";
}

TEST_F(EventLogFixture, MissingMessageFileRegistersNothingUntilTheValueAppears) {
    settings.remove(L"QuarnService");
    // The other outputs still receive the message that the event log misses.
    ScratchDir root;
    settings.setString(L"PRODUCT_ROOT_D", root.path());
    settings.setDword(L"Debug", 1);
    settings.remove(L"log_debug_enabled");
    ::CreateDirectoryW((root.path() + L"\\admin").c_str(), nullptr);
    ASSERT_TRUE(::CreateDirectoryW((root.path() + L"\\admin\\logs").c_str(), nullptr));

    std::string output;
    const EventLogTrace trace = runTraced("EventLogChild.DISABLED_WaitForMessageFile", "", &output);
    EXPECT_EQ(trace.registeredSources, std::vector<std::string>{wineDebugString(kProgram)})
        << "registered only once the value exists";
    ASSERT_EQ(trace.events.size(), 1u);
    EXPECT_EQ(trace.events[0].strings.at(0), wineDebugString(L"after the message file"));
    EXPECT_NE(output.find("<<<before the message file\r\nafter the message file>>>"), std::string::npos) << output;

    const std::string bytes =
        readFileBytes(root.path() + L"\\admin\\logs\\quarnlog_debug" + localDate(0) + L".log");
    const std::wstring debug(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_NE(debug.find(L" Error: before the message file\r\n"), std::wstring::npos);
    EXPECT_NE(debug.find(L" Error: after the message file\r\n"), std::wstring::npos);
}

TEST_F(EventLogFixture, TwoProcessesRegisteringAtOnceShareOneSource) {
    WineDebugChild first("EventLogChild.DISABLED_ReportOne", "from the first process", kChannels);
    WineDebugChild second("EventLogChild.DISABLED_ReportOne", "from the second process", kChannels);
    ASSERT_EQ(first.wait(), 0) << first.output() << first.errors();
    ASSERT_EQ(second.wait(), 0) << second.output() << second.errors();

    EXPECT_EQ(sourcesOfProductLog(), std::vector<std::wstring>{kProgram});
    expectSourceValues(kProgram);
    EXPECT_EQ(dwordOf(kProductLogKey, L"MaxSize"), 0x800000u);
    const EventLogTrace one = parseEventLogTrace(first.errors());
    const EventLogTrace two = parseEventLogTrace(second.errors());
    ASSERT_EQ(one.events.size(), 1u) << first.errors();
    ASSERT_EQ(two.events.size(), 1u) << second.errors();
    EXPECT_EQ(one.events[0].strings.at(0), wineDebugString(L"from the first process"));
    EXPECT_EQ(two.events[0].strings.at(0), wineDebugString(L"from the second process"));
}

TEST_F(EventLogFixture, RegistrationWaitsForTheProductsNamedMutex) {
    UniqueHandle held(::CreateMutexW(nullptr, TRUE, L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}"));
    ASSERT_TRUE(held);
    WineDebugChild child("EventLogChild.DISABLED_ReportOne", "waited", kChannels);
    ASSERT_TRUE(waitUntil([&] { return child.outputSoFar().find("Running main()") != std::string::npos; }, 30000));
    ::Sleep(500);
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, kProductLogKey, registry::ProcessView))
        << "nothing is written while another process registers";
    ::ReleaseMutex(held.get());
    ASSERT_EQ(child.wait(), 0) << child.output() << child.errors();
    const EventLogTrace trace = parseEventLogTrace(child.errors());
    ASSERT_EQ(trace.events.size(), 1u) << child.errors();
    EXPECT_EQ(trace.events[0].strings.at(0), wineDebugString(L"waited"));
    expectSourceValues(kProgram);
}

TEST(EventLogChild, DISABLED_ReportOne) {
    routeEveryLevelToTheEventLog();
    LogManager::print(LogError, L"%s", childArgument().c_str());
}

TEST(EventLogChild, DISABLED_ReportEveryLevel) {
    routeEveryLevelToTheEventLog();
    for (int level = 0; level < 6; ++level) LogManager::print(level, L"event of level %d", level);
}

TEST(EventLogChild, DISABLED_WaitForMessageFile) {
    std::fputs("<<<", stdout);
    std::fflush(stdout);
    LogManager::print(LogError, L"before the message file");
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, std::wstring(kProductLogKey) + L"\\" + kProgram,
                                     registry::ProcessView))
        << "no source without its message file";
    {
        ProductSettings settings;
        settings.setString(L"QuarnService", kMessageFile);
        LogManager::print(LogError, L"after the message file");
    }
    std::fputs(">>>", stdout);
    std::fflush(stdout);
}
