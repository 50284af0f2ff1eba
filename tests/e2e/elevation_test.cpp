// The program under User Account Control, from outside: a monitor started
// with the limited half of the test user's token (what the logon entry gets
// for an administrator on Windows) runs its commands in an elevated copy of
// itself. Wine shows no prompt and would start a "runas" program with the
// caller's limited token; the launcher hands the copy the linked full token
// there, as Windows' consent does (app/elevated_launcher.cpp).
#include "../app/packages_fixture.h"
#include "app/elevated_copy.h"
#include "app/running_monitors.h"
#include "diagnostics/handles.h"
#include "limited_token.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "monitor_process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <map>
#include <wchar.h>
#include <vector>

using sandboxkit::ScopedService;
using testing_support::binDir;
using testing_support::runProcess;
using testing_support::waitUntil;

using e2e::exitCodeOf;
using e2e::monitorWindowOf;
using e2e::program;

namespace {

// Records the processes that `parent` started, with their tokens'
// elevation types, as long as they can be opened.
void recordChildren(DWORD parent, std::map<DWORD, int>& children) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE) {
        snapshot.release();
        return;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != parent || children.count(entry.th32ProcessID)) continue;
        UniqueHandle child(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!child) continue;
        // Copies of the program only, by the process's own image: Wine lists
        // a starting process for a moment with no name in the snapshot.
        const std::wstring path = programOf(child.get());
        if (path.empty() || _wcsicmp(path.c_str() + path.find_last_of(L"\\/") + 1, L"svcsentry.exe") != 0) continue;
        children[entry.th32ProcessID] = testing_support::processElevationType(child.get());
    }
}

class Elevation : public ::testing::Test {
protected:
    void TearDown() override {
        for (UniqueHandle& process : started_)
            if (exitCodeOf(process.get()) == STILL_ACTIVE) ::TerminateProcess(process.get(), 1);
    }
    std::vector<UniqueHandle> started_;
};

}  // namespace

TEST_F(Elevation, ALimitedMonitorStartsServicesThroughAFullTokenCopy) {
    ScopedService target(sandboxkit::uniqueName(L"qee1"), L"Elevated target", L"");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", target.name(), L"Elevated");

    HANDLE monitor = testing_support::startWithLimitedToken(program());
    ASSERT_TRUE(monitor);
    started_.emplace_back(monitor);
    const DWORD pid = ::GetProcessId(monitor);
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(pid) != nullptr; }, 20000));
    EXPECT_EQ(testing_support::processElevationType(monitor), int(TokenElevationTypeLimited));

    std::map<DWORD, int> copies;
    ::PostMessageW(monitorWindowOf(pid), WM_COMMAND, ID_TRAY_START, 0);
    EXPECT_TRUE(waitUntil(
        [&] {
            recordChildren(pid, copies);
            return sandboxkit::queryStatus(target.name()).dwCurrentState == SERVICE_RUNNING;
        },
        20000));
    // Exactly one copy, with the full token; the monitor kept its own.
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies.begin()->second, int(TokenElevationTypeFull));
    UniqueHandle copy(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copies.begin()->first));
    if (copy) {
        EXPECT_EQ(::WaitForSingleObject(copy.get(), 20000), WAIT_OBJECT_0);
        EXPECT_EQ(exitCodeOf(copy.get()), DWORD(kCopyDone));
    }
    EXPECT_EQ(exitCodeOf(monitor), DWORD(STILL_ACTIVE));

    // The same monitor stops it again through another copy; `exit` ends it.
    // (The monitor finishes its start command only after the copy has
    // ended, and drops a click that comes before that, as it drops every
    // click during a command: the click is made again until one is taken.)
    ULONGLONG lastClick = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
            if (::GetTickCount64() - lastClick > 4000) {
                ::PostMessageW(monitorWindowOf(pid), WM_COMMAND, ID_TRAY_STOP, 0);
                lastClick = ::GetTickCount64();
            }
            return sandboxkit::queryStatus(target.name()).dwCurrentState == SERVICE_STOPPED;
        },
        30000));
    ::Sleep(1000);
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0);
    EXPECT_EQ(::WaitForSingleObject(monitor, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(monitor), 0u);
}

// The copy does nothing for a parent that is not a monitor of its program
// file, for a window that is not its parent's, or for a command line it was
// not made for; with the limited token it does nothing either.
TEST_F(Elevation, TheCopyRefusesWhatItWasNotMadeFor) {
    ScopedService target(sandboxkit::uniqueName(L"qee2"), L"Refused target", L"");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", target.name(), L"Elevated");
    HWND ours = ::CreateWindowExW(0, L"STATIC", L"not a monitor", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                                  nullptr);
    const std::wstring window = std::to_wstring(reinterpret_cast<ULONG_PTR>(ours));
    const struct {
        std::wstring arguments;
        DWORD code;
    } cases[] = {
        {L"elevated start " + window + L" " + target.name(), kCopyForeignParent},
        {L"elevated start-all 1", kCopyForeignParent},
        {L"elevated start-all", kCopyBadArguments},
        {L"elevated start-everything " + window, kCopyBadArguments},
        {L"elevated delete-sessions " + window + L" \"Password=s3cret-one\"", kCopyBadArguments},
        {L"elevated start-website " + window + L" C:\\Quarn", kCopyBadArguments},
        {L"elevated", kCopyBadArguments},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runProcess(program() + L" " + c.arguments, 20000), long(c.code))
            << std::string(c.arguments.begin(), c.arguments.end());
    }
    UniqueHandle limited(testing_support::startWithLimitedToken(program() + L" elevated start-all " + window));
    ASSERT_TRUE(limited);
    EXPECT_EQ(::WaitForSingleObject(limited.get(), 20000), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(limited.get()), DWORD(kCopyNotElevated));
    EXPECT_EQ(sandboxkit::queryStatus(target.name()).dwCurrentState, DWORD(SERVICE_STOPPED));
    ::DestroyWindow(ours);
}

// An installer's commands and `exit` reach monitors whatever the tokens on
// either side: a limited monitor closed by a full-token installer, and a
// full-token monitor closed by a limited `close` and a limited `exit`.
TEST_F(Elevation, CloseAndExitWorkAcrossTheTokens) {
    testing_support::PackagesSandbox packages;
    auto waitForWindow = [&](HANDLE process) {
        return waitUntil([&] { return monitorWindowOf(::GetProcessId(process)) != nullptr; }, 20000);
    };
    auto runLimited = [&](const std::wstring& arguments) {
        UniqueHandle process(testing_support::startWithLimitedToken(program() + L" " + arguments));
        if (!process || ::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) return DWORD(STILL_ACTIVE);
        return exitCodeOf(process.get());
    };

    HANDLE limited = testing_support::startWithLimitedToken(program());
    ASSERT_TRUE(limited);
    started_.emplace_back(limited);
    ASSERT_TRUE(waitForWindow(limited));
    ::Sleep(3000);  // an icon taken away moments after it was added costs Wine seconds
    EXPECT_EQ(runProcess(program() + L" close", 90000), 0);
    EXPECT_EQ(::WaitForSingleObject(limited, 5000), WAIT_OBJECT_0);

    for (const wchar_t* command : {L"close", L"exit"}) {
        HANDLE full = testing_support::startProcess(program());
        ASSERT_TRUE(full);
        started_.emplace_back(full);
        ASSERT_TRUE(waitForWindow(full));
        ::Sleep(3000);
        EXPECT_EQ(runLimited(command), 0u) << command;
        EXPECT_EQ(::WaitForSingleObject(full, 5000), WAIT_OBJECT_0) << command;
        EXPECT_EQ(exitCodeOf(full), 0u) << command;
    }
}
