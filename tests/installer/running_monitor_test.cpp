// The package on a server where the monitor runs: an upgrade or a removal
// closes every monitor first (a busy one after its command), an upgrade
// starts the new monitor again for the user who ran it, and the monitor ends
// cleanly when the session ends or Restart Manager closes it. Each test starts
// and ends with no installation and no monitor.
#include "../app/packages_fixture.h"
#include "diagnostics/handles.h"
#include "machine_state.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <thread>

using namespace installer_test;
using testing_support::startProcess;
using testing_support::waitUntil;

namespace {

constexpr wchar_t kProductSources[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Quarn";
constexpr wchar_t kRestartRequestKey[] = L"Software\\Quarn Services Monitor restart";

// The dialog of process `pid`: its top-level window titled with the product name.
HWND monitorWindow(DWORD pid) {
    struct Search {
        DWORD pid;
        HWND found;
    } search{pid, nullptr};
    ::EnumWindows(
        [](HWND window, LPARAM context) WINAPI -> BOOL {
            auto* search = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            wchar_t title[64] = {};
            ::GetWindowTextW(window, title, 64);
            if (owner != search->pid || std::wcscmp(title, kProductName) != 0) return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

DWORD exitCode(HANDLE process) {
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process, &code);
    return code;
}

bool keyExists(HKEY root, const std::wstring& key) {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    ::RegCloseKey(opened);
    return true;
}

// A monitor started from the package's logon command, with its dialog and
// its tray icon up.
struct StartedMonitor {
    UniqueHandle process;
    DWORD pid = 0;
    HWND window = nullptr;
};

class RunningMonitor : public ::testing::Test {
protected:
    void SetUp() override { removeEveryInstallation(); }
    void TearDown() override {
        for (StartedMonitor& monitor : monitors_)
            if (monitor.process) ::TerminateProcess(monitor.process.get(), 1);
        for (const MonitorProcess& left : monitorProcesses()) {
            UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, left.processId));
            if (process) ::TerminateProcess(process.get(), 1);
        }
        removeEveryInstallation();
        ::RegDeleteKeyW(HKEY_CURRENT_USER, kRestartRequestKey);
    }

    // Starts the installed monitor the way a logon does and waits for its
    // dialog and its icon.
    StartedMonitor& startMonitor(REGSAM view = kPackageView) {
        const std::optional<std::wstring> logonCommand = machineValue(kRunKey, kProductName, view);
        EXPECT_TRUE(logonCommand);
        StartedMonitor& monitor = monitors_.emplace_back();
        monitor.process.reset(startProcess(logonCommand.value_or(L"\"" + program() + L"\"")));
        EXPECT_TRUE(monitor.process);
        monitor.pid = ::GetProcessId(monitor.process.get());
        EXPECT_TRUE(waitUntil([&] { return (monitor.window = monitorWindow(monitor.pid)) != nullptr; }, 20000));
        EXPECT_TRUE(waitUntil([&] { return trayIconPresent(monitor.window); }, 20000));
        return monitor;
    }

    // The monitor ended by itself (exit code 0) and took its icon away.
    static void expectEndedCleanly(const StartedMonitor& monitor) {
        ASSERT_EQ(::WaitForSingleObject(monitor.process.get(), 10000), WAIT_OBJECT_0) << "still running";
        EXPECT_EQ(exitCode(monitor.process.get()), 0u);
        EXPECT_FALSE(trayIconPresent(monitor.window)) << "its tray icon was left behind";
    }

    std::vector<StartedMonitor> monitors_;
};

}  // namespace

TEST_F(RunningMonitor, RemovalEndsTheMonitorTakesItsIconAndItsEventSourceAndLeavesTheProducts) {
    ASSERT_EQ(install(L"current.msi"), 0);
    const StartedMonitor& monitor = startMonitor();
    // The monitor's own source as its first event registers it, beside a
    // source of another product program.
    const std::wstring ownSource = std::wstring(kProductSources) + L"\\svcsentry.exe";
    const std::wstring otherSource = std::wstring(kProductSources) + L"\\quarnsrv-installer-test.exe";
    for (const std::wstring& key : {ownSource, otherSource}) {
        HKEY created = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &created,
                                    nullptr),
                  ERROR_SUCCESS);
        ::RegCloseKey(created);
    }

    EXPECT_EQ(msiexec(L"/x \"" + packagePath(L"current.msi") + L"\""), 0);

    expectEndedCleanly(monitor);
    EXPECT_FALSE(fileExists(program()));
    EXPECT_TRUE(monitorProcesses().empty());
    EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, ownSource));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, otherSource));
    EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kProductSources));
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, otherSource.c_str());
}

TEST_F(RunningMonitor, UpgradeEndsEveryOldMonitorAndStartsTheNewVersionAgain) {
    ASSERT_EQ(install(L"current.msi"), 0);
    ASSERT_EQ(fileVersion(program()), kVersion);
    startMonitor();
    startMonitor();

    ASSERT_EQ(install(L"newer.msi"), 0);

    for (const StartedMonitor& monitor : monitors_) expectEndedCleanly(monitor);
    // The new monitor is started after the installation, without msiexec
    // waiting for it, by a short-lived process of the new program.
    std::vector<MonitorProcess> running;
    EXPECT_TRUE(waitUntil(
        [&] {
            running = monitorProcesses();
            return running.size() == 1 && monitorWindow(running[0].processId) != nullptr;
        },
        40000));
    ASSERT_EQ(running.size(), 1u);
    EXPECT_TRUE(samePath(running[0].program, program())) << running[0].program;
    EXPECT_EQ(fileVersion(running[0].program), kNewerVersion);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kRestartRequestKey)) << "the restart request was left behind";
}

TEST_F(RunningMonitor, UpgradeWithoutARunningMonitorStartsNoneNotEvenForARequestOfAnotherSession) {
    ASSERT_EQ(install(L"current.msi"), 0);
    // What an upgrade that failed in another of this user's sessions leaves.
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    const DWORD otherSession = session + 1;
    HKEY request = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kRestartRequestKey, 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_SET_VALUE, nullptr, &request, nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(request, L"Session", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&otherSession),
                     sizeof(otherSession));
    ::RegCloseKey(request);

    ASSERT_EQ(install(L"newer.msi"), 0);
    // The short-lived process that would start a monitor ends at once.
    EXPECT_TRUE(waitUntil([] { return monitorProcesses().empty(); }, 10000));
    ::Sleep(2000);
    EXPECT_TRUE(monitorProcesses().empty());
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kRestartRequestKey));
}

TEST_F(RunningMonitor, BusyMonitorEndsOnlyAfterItsServiceCommand) {
    sandboxkit::ScopedService slow(sandboxkit::uniqueName(L"qis"), L"Slow to start", L"--start-delay=6000 --checkpoints=6");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", slow.name(), L"Group");
    ASSERT_EQ(install(L"current.msi"), 0);
    const StartedMonitor& monitor = startMonitor();

    // The tray menu's Start: every service of the catalogue, here the slow one.
    ASSERT_TRUE(::PostMessageW(monitor.window, WM_COMMAND, ID_TRAY_START, 0));
    ASSERT_TRUE(waitUntil([&] { return sandboxkit::queryStatus(slow.name()).dwCurrentState == SERVICE_START_PENDING; },
                          10000));

    long removal = -1;
    std::thread remover([&] { removal = msiexec(L"/x \"" + packagePath(L"current.msi") + L"\""); });
    const DWORD waited = ::WaitForSingleObject(monitor.process.get(), 90000);
    const DWORD stateAtEnd = sandboxkit::queryStatus(slow.name()).dwCurrentState;
    remover.join();

    ASSERT_EQ(waited, WAIT_OBJECT_0);
    EXPECT_EQ(stateAtEnd, static_cast<DWORD>(SERVICE_RUNNING)) << "the monitor ended in the middle of its start";
    expectEndedCleanly(monitor);
    EXPECT_EQ(removal, 0);
    EXPECT_FALSE(fileExists(program()));
}

TEST_F(RunningMonitor, MonitorThatDoesNotEndInTimeMakesTheRemovalFailBeforeAnythingChanged) {
    sandboxkit::ScopedService failing(sandboxkit::uniqueName(L"qif"), L"Never starting", L"--fail-start=1");
    testing_support::PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", failing.name(), L"Group");
    ASSERT_EQ(install(L"current.msi"), 0);
    const StartedMonitor& monitor = startMonitor();
    // The last pass asks what to do about the failure, and nobody answers.
    ASSERT_TRUE(::PostMessageW(monitor.window, WM_COMMAND, ID_TRAY_START, 0));
    ASSERT_TRUE(waitUntil(
        [&] {
            HWND box = ::FindWindowW(L"#32770", L"Start Never starting");
            DWORD owner = 0;
            if (box) ::GetWindowThreadProcessId(box, &owner);
            return owner == monitor.pid;
        },
        30000));

    EXPECT_NE(msiexec(L"/x \"" + packagePath(L"current.msi") + L"\""), 0);

    EXPECT_EQ(::WaitForSingleObject(monitor.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(fileExists(program()));
    EXPECT_EQ(relatedProducts().size(), 1u);
    EXPECT_TRUE(machineValue(kRunKey, kProductName));
}

TEST_F(RunningMonitor, EndOfSessionForRestartManagerEndsTheMonitorWithoutRefusing) {
    ASSERT_EQ(install(L"current.msi"), 0);
    const StartedMonitor& monitor = startMonitor();

    DWORD_PTR answer = 0;
    ASSERT_TRUE(::SendMessageTimeoutW(monitor.window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_NORMAL, 10000,
                                      &answer));
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "the monitor refused to end";
    ::SendMessageTimeoutW(monitor.window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_NORMAL, 10000, &answer);

    expectEndedCleanly(monitor);
}

TEST_F(RunningMonitor, PackagesOfTheTwoArchitecturesReplaceEachOther) {
    struct Step {
        const wchar_t* first;
        const wchar_t* second;
        std::wstring removedFolder;
        std::wstring installedFolder;
        REGSAM installedView;
    };
    const REGSAM otherView = kPackageView == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const Step steps[] = {
        {L"current.msi", L"newer-other-arch.msi", installFolder(), otherArchInstallFolder(), otherView},
        {L"current-other-arch.msi", L"newer.msi", otherArchInstallFolder(), installFolder(), kPackageView},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::wstring(step.first) + L" then " + step.second);
        ASSERT_EQ(install(step.first), 0);
        ASSERT_TRUE(fileExists(step.removedFolder + L"\\svcsentry.exe"));
        const std::vector<std::wstring> before = relatedProducts();
        ASSERT_EQ(before.size(), 1u);
        const StartedMonitor& old = startMonitor(step.installedView == otherView ? kPackageView : otherView);

        ASSERT_EQ(install(step.second), 0);
        // The old monitor was closed through the old program (found in the
        // other package's registry view) and the new one runs from the new folder.
        expectEndedCleanly(old);
        std::vector<MonitorProcess> running;
        EXPECT_TRUE(waitUntil(
            [&] {
                running = monitorProcesses();
                return running.size() == 1 && monitorWindow(running[0].processId) != nullptr;
            },
            40000));
        ASSERT_EQ(running.size(), 1u);
        EXPECT_TRUE(samePath(running[0].program, step.installedFolder + L"\\svcsentry.exe")) << running[0].program;
        const std::vector<std::wstring> after = relatedProducts();
        ASSERT_EQ(after.size(), 1u);
        EXPECT_NE(after[0], before[0]);
        EXPECT_EQ(productVersion(after[0]), kNewerVersion);
        EXPECT_FALSE(fileExists(step.removedFolder)) << "the replaced package's folder stayed";
        EXPECT_TRUE(fileExists(step.installedFolder + L"\\svcsentry.exe"));
        // Each package writes its values in its own registry view.
        EXPECT_EQ(machineValue(kRunKey, kProductName, step.installedView).value_or(L"(missing)"),
                  L"\"" + step.installedFolder + L"\\svcsentry.exe\"");
        EXPECT_FALSE(machineValue(kRunKey, kProductName, step.installedView == otherView ? kPackageView : otherView));
        removeEveryInstallation();
    }
}
