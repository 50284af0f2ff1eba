// The program's entry and lifetime, seen from outside: start monitors, end
// them with `svcsentry.exe exit`.
#include "diagnostics/handles.h"
#include "monitor_process.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <vector>

using testing_support::binDir;
using testing_support::runProcess;
using testing_support::startProcess;
using testing_support::waitUntil;

using e2e::exitCodeOf;
using e2e::monitorWindowOf;
using e2e::program;

namespace {

// A running monitor ends within two seconds of the exit message.
constexpr DWORD kEndMs = 2000;

// Under Wine, taking an icon off the notification area moments after it was
// added costs about two seconds; an administrator's monitor has been running
// for a while when `exit` reaches it, so the tests let it settle first.
void letMonitorsSettle() {
    ::Sleep(3000);
}

constexpr wchar_t kHungTitle[] = L"Quarn test hung window";

// A process of its own (this test program again, see HungWindowChild) whose
// visible top-level window never takes its messages, as a hung program's.
class HungWindow {
public:
    HungWindow() {
        wchar_t self[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, self, MAX_PATH);
        ::SetEnvironmentVariableW(L"QUARN_HUNG_WINDOW", L"1");
        process_.reset(startProcess(L"\"" + std::wstring(self) + L"\" --gtest_filter=ProgramLifetime.HungWindowChild"));
        ::SetEnvironmentVariableW(L"QUARN_HUNG_WINDOW", nullptr);
    }
    ~HungWindow() {
        if (process_) ::TerminateProcess(process_.get(), 1);
    }
    HungWindow(const HungWindow&) = delete;
    HungWindow& operator=(const HungWindow&) = delete;

    // The window, once the platform itself counts it as hung.
    HWND waitUntilHung() const {
        HWND window = nullptr;
        waitUntil([&] { return (window = ::FindWindowW(nullptr, kHungTitle)) != nullptr; }, 20000);
        if (window && waitUntil([&] { return ::IsHungAppWindow(window) != FALSE; }, 20000)) return window;
        return nullptr;
    }

private:
    UniqueHandle process_;
};

// Ends whatever monitors a failed test left behind.
class ProgramLifetime : public ::testing::Test {
protected:
    void TearDown() override {
        for (UniqueHandle& process : started_) {
            if (exitCodeOf(process.get()) == STILL_ACTIVE) ::TerminateProcess(process.get(), 1);
        }
    }

    HANDLE startMonitor(const std::wstring& arguments = L"") {
        HANDLE process = startProcess(program() + (arguments.empty() ? L"" : L" " + arguments),
                                      testing_support::capturedOutputFile(L"monitor-output"));
        started_.emplace_back(process);
        return process;
    }

    std::vector<UniqueHandle> started_;
};

}  // namespace

TEST_F(ProgramLifetime, OneExitEndsEveryRunningMonitorWithExitCodeZero) {
    HANDLE first = startMonitor();
    HANDLE second = startMonitor();
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(first)) != nullptr; }, 20000));
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(second)) != nullptr; }, 20000));
    // The dialog is created hidden.
    EXPECT_FALSE(::IsWindowVisible(monitorWindowOf(::GetProcessId(first))));

    letMonitorsSettle();
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0);
    HANDLE both[] = {first, second};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, TRUE, kEndMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(first), 0u);
    EXPECT_EQ(exitCodeOf(second), 0u);
}

TEST_F(ProgramLifetime, ExitWithFurtherArgumentsStillEndsMonitors) {
    HANDLE monitor = startMonitor();
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(monitor)) != nullptr; }, 20000));
    letMonitorsSettle();
    EXPECT_EQ(runProcess(program() + L" exit now please", 20000), 0);
    EXPECT_EQ(::WaitForSingleObject(monitor, kEndMs), WAIT_OBJECT_0);
}

TEST_F(ProgramLifetime, ExitWithoutMonitorsDoesNothingAndEndsWithZero) {
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0);
}

TEST_F(ProgramLifetime, ExitIsCaseSensitiveOtherSpellingsStartAMonitor) {
    HANDLE monitor = startMonitor(L"Exit");
    ASSERT_TRUE(monitor);
    // The administrator check passes for the Wine user, so a monitor appears.
    EXPECT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(monitor)) != nullptr; }, 20000));
    EXPECT_EQ(exitCodeOf(monitor), static_cast<DWORD>(STILL_ACTIVE));
    letMonitorsSettle();
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0);
    EXPECT_EQ(::WaitForSingleObject(monitor, kEndMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(monitor), 0u);
}

TEST_F(ProgramLifetime, TrayMenuExitEndsOnlyThisMonitor) {
    HANDLE first = startMonitor();
    HANDLE second = startMonitor();
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(first)) != nullptr; }, 20000));
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(second)) != nullptr; }, 20000));
    letMonitorsSettle();
    ::PostMessageW(monitorWindowOf(::GetProcessId(first)), WM_COMMAND, 32780, 0);
    EXPECT_EQ(::WaitForSingleObject(first, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(first), 0u);
    EXPECT_EQ(exitCodeOf(second), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0);
    EXPECT_EQ(::WaitForSingleObject(second, kEndMs), WAIT_OBJECT_0);
}

// The hung program of ExitReturnsWithAHungWindowOnTheDesktop; skipped unless
// that test starts it.
TEST_F(ProgramLifetime, HungWindowChild) {
    if (!::GetEnvironmentVariableW(L"QUARN_HUNG_WINDOW", nullptr, 0)) GTEST_SKIP() << "run by the hung-window test";
    HWND window = ::CreateWindowExW(0, L"Static", kHungTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                    nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(window);
    // Never looks at its queue again.
    ::Sleep(INFINITE);
}

TEST_F(ProgramLifetime, ExitReturnsWithAHungWindowOnTheDesktopAndStillEndsEveryMonitor) {
    HungWindow hung;
    ASSERT_TRUE(hung.waitUntilHung()) << "no hung window";
    HANDLE first = startMonitor();
    HANDLE second = startMonitor();
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(first)) != nullptr; }, 20000));
    ASSERT_TRUE(waitUntil([&] { return monitorWindowOf(::GetProcessId(second)) != nullptr; }, 20000));
    letMonitorsSettle();

    // A broadcast that waits for every window would never return.
    EXPECT_EQ(runProcess(program() + L" exit", 20000), 0) << "exit did not return";
    HANDLE both[] = {first, second};
    EXPECT_EQ(::WaitForMultipleObjects(2, both, TRUE, kEndMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(first), 0u);
    EXPECT_EQ(exitCodeOf(second), 0u);
}
