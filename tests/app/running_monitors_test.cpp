// Which processes the installer commands count as running monitors, and how
// the restarted monitor is started. The program here is this test program:
// copies of it started from its own file are "monitors", a copy of the file
// in another folder is another program of the same name. Wine has one user
// and no integrity levels: a process that refuses to be opened (another
// user's) and an elevated installer are stood in for through the seams of
// running_monitors.h.
#include "app/running_monitors.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>

using testing_support::startProcess;
using testing_support::waitUntil;

namespace {

std::wstring ownProgram() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// A process of `program` (this test program or a copy) that waits until it
// is ended, in RunningMonitors.ChildWaits.
UniqueHandle startWaiting(const std::wstring& program) {
    ::SetEnvironmentVariableW(L"QUARN_CHILD_WAITS", L"1");
    UniqueHandle process(startProcess(L"\"" + program + L"\" --gtest_filter=RunningMonitors.ChildWaits"));
    ::SetEnvironmentVariableW(L"QUARN_CHILD_WAITS", nullptr);
    return process;
}

void end(UniqueHandle& process) {
    if (!process) return;
    ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), 10000);
}

// The opening refused for one process, as for another user's when the
// installer lacks the right.
DWORD g_refused = 0;
HANDLE WINAPI openRefusing(DWORD access, BOOL inherit, DWORD processId) {
    if (processId == g_refused) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return ::OpenProcess(access, inherit, processId);
}

class RefusedOpening {
public:
    explicit RefusedOpening(DWORD processId) : saved_(running_monitors_detail::calls().openProcess) {
        g_refused = processId;
        running_monitors_detail::calls().openProcess = &openRefusing;
    }
    ~RefusedOpening() {
        running_monitors_detail::calls().openProcess = saved_;
        g_refused = 0;
    }
    RefusedOpening(const RefusedOpening&) = delete;
    RefusedOpening& operator=(const RefusedOpening&) = delete;

private:
    decltype(running_monitors_detail::calls().openProcess) saved_;
};

const RunningMonitor* findMonitor(const std::vector<RunningMonitor>& monitors, HANDLE process) {
    const DWORD id = ::GetProcessId(process);
    const auto found = std::find_if(monitors.begin(), monitors.end(),
                                    [&](const RunningMonitor& monitor) { return monitor.processId == id; });
    return found == monitors.end() ? nullptr : &*found;
}

DWORD parentOf(DWORD processId) {
    UniqueFileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry))
        if (entry.th32ProcessID == processId) return entry.th32ParentProcessID;
    return 0;
}

bool g_elevated = false;
bool answerElevated() {
    return g_elevated;
}

}  // namespace

TEST(RunningMonitors, ChildWaits) {
    if (!::GetEnvironmentVariableW(L"QUARN_CHILD_WAITS", nullptr, 0)) GTEST_SKIP() << "started by the other tests";
    ::Sleep(120000);
}

TEST(RunningMonitors, OnlyThisProgramFileCountsAndSoDoesEveryProcessOfItsNameThatCannotBeOpened) {
    testing_support::ScratchDir folder;
    const std::wstring name = ownProgram().substr(ownProgram().find_last_of(L'\\') + 1);
    const std::wstring copy = folder.path() + L"\\" + name;
    ASSERT_TRUE(::CopyFileW(ownProgram().c_str(), copy.c_str(), FALSE));
    UniqueHandle same = startWaiting(ownProgram());
    UniqueHandle other = startWaiting(copy);
    ASSERT_TRUE(same && other);
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);

    struct Case {
        const char* what;
        DWORD refused;
        bool sameListed;
        bool sameOpened;
        bool otherListed;
    };
    const Case cases[] = {
        {"everything opens", 0, true, true, false},
        {"this program's process refuses", ::GetProcessId(same.get()), true, false, false},
        // Another user's process: its file cannot be read, so it may be ours.
        {"the other folder's process refuses", ::GetProcessId(other.get()), true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RefusedOpening refusal(c.refused);
        const std::vector<RunningMonitor> monitors = runningMonitors();
        const RunningMonitor* sameMonitor = findMonitor(monitors, same.get());
        const RunningMonitor* otherMonitor = findMonitor(monitors, other.get());
        ASSERT_EQ(sameMonitor != nullptr, c.sameListed);
        EXPECT_EQ(otherMonitor != nullptr, c.otherListed);
        EXPECT_EQ(static_cast<bool>(sameMonitor->process), c.sameOpened);
        EXPECT_TRUE(sameMonitor->sessionKnown);
        EXPECT_EQ(sameMonitor->sessionId, session);
        if (otherMonitor) {
            EXPECT_FALSE(otherMonitor->process);
        }
        EXPECT_EQ(findMonitor(monitors, ::GetCurrentProcess()), nullptr) << "this process is no monitor";
    }
    end(same);
    end(other);
}

TEST(RunningMonitors, ProcessThatCannotBeOpenedKeepsTheCloseWaitingUntilItIsGone) {
    UniqueHandle refusing = startWaiting(ownProgram());
    ASSERT_TRUE(refusing);
    RefusedOpening refusal(::GetProcessId(refusing.get()));

    // It cannot be waited on, and does not answer the exit message.
    EXPECT_FALSE(closeRunningMonitors(300));
    ::TerminateProcess(refusing.get(), 1);
    ASSERT_EQ(::WaitForSingleObject(refusing.get(), 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(closeRunningMonitors(5000)) << "it left the process list";
}

// Stands in for an installer run as administrator: the restarted monitor is
// the shell's child, as when the user starts it, and so gets the shell's
// token (medium integrity on Windows) instead of the installer's.
TEST(RunningMonitors, RestartedMonitorIsTheShellsChildWhenTheInstallerRunsElevated) {
    DWORD shell = 0;
    // Wine's desktop sets no shell window; its notification area is the shell's.
    const HWND window = ::GetShellWindow() ? ::GetShellWindow() : ::FindWindowW(L"Shell_TrayWnd", nullptr);
    if (window) ::GetWindowThreadProcessId(window, &shell);
    ASSERT_NE(shell, 0u) << "no shell on this desktop";
    auto& runsElevated = running_monitors_detail::calls().runsElevated;
    const auto platform = runsElevated;
    runsElevated = &answerElevated;
    for (bool elevated : {true, false}) {
        SCOPED_TRACE(elevated ? "elevated" : "not elevated");
        g_elevated = elevated;
        ::SetEnvironmentVariableW(L"QUARN_CHILD_WAITS", L"1");
        UniqueHandle started = startAsShellWould(L"\"" + ownProgram() + L"\" --gtest_filter=RunningMonitors.ChildWaits");
        ::SetEnvironmentVariableW(L"QUARN_CHILD_WAITS", nullptr);
        ASSERT_TRUE(started);
        EXPECT_EQ(parentOf(::GetProcessId(started.get())), elevated ? shell : ::GetCurrentProcessId());
        end(started);
    }
    runsElevated = platform;
}
