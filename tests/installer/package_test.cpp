// The MSI package, installed, upgraded and removed silently with msiexec, as
// administrators push it to their servers. Each test starts and ends with no
// installation of the package.
#include "config/product_config.h"
#include "diagnostics/handles.h"
#include "machine_state.h"
#include "test_support.h"

#include <gtest/gtest.h>

using namespace installer_test;
using testing_support::runProcess;
using testing_support::startProcess;
using testing_support::waitUntil;

namespace {


// The dialog of process `pid` is the top-level window titled with the product name.
bool hasMonitorWindow(DWORD pid) {
    HWND window = ::FindWindowW(nullptr, kProductName);
    DWORD owner = 0;
    if (window) ::GetWindowThreadProcessId(window, &owner);
    return window && owner == pid;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override { removeEveryInstallation(); }
    void TearDown() override {
        if (monitor_) ::TerminateProcess(monitor_.get(), 1);
        removeEveryInstallation();
    }

    // Installs `first`, then `second` over it, and expects one installation
    // left: the second package's product at `version`.
    void replace(const wchar_t* first, const wchar_t* second, const std::wstring& version) {
        ASSERT_EQ(install(first), 0);
        const std::wstring firstProduct = uninstallEntries().at(0).key;
        ASSERT_EQ(install(second), 0);
        const std::vector<UninstallEntry> entries = uninstallEntries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_NE(entries[0].key, firstProduct);
        EXPECT_EQ(entries[0].displayVersion, version);
        EXPECT_EQ(relatedProducts().size(), 1u);
    }

    UniqueHandle monitor_;
};

}  // namespace

TEST_F(Package, InstallsTheProgramItsShortcutTheRunValueAndTheUninstallEntry) {
    ASSERT_EQ(install(L"current.msi"), 0);

    EXPECT_TRUE(fileExists(program()));
    if (fileExists(testing_support::binDir() + L"\\quarndb.exe")) {
        EXPECT_TRUE(fileExists(installFolder() + L"\\quarndb.exe"));
    }
    // One version: the version resource of the installed program is the package's.
    EXPECT_EQ(fileVersion(program()), kVersion);
    EXPECT_EQ(machineValue(kRunKey, kProductName).value_or(L"(missing)"), L"\"" + program() + L"\"");

    const std::vector<UninstallEntry> entries = uninstallEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].displayVersion, kVersion);
    EXPECT_EQ(entries[0].publisher, L"Quarn");
    EXPECT_EQ(relatedProducts().size(), 1u) << "installed under the fixed upgrade code";

    const std::wstring link = findShortcut();
    ASSERT_FALSE(link.empty()) << "no Start menu shortcut";
    EXPECT_TRUE(samePath(shortcutTarget(link), program())) << shortcutTarget(link);
}

TEST_F(Package, InstalledMonitorStartsFromTheRunValueShowsItsDialogAndEndsOnExit) {
    ASSERT_EQ(install(L"current.msi"), 0);
    const std::optional<std::wstring> logonCommand = machineValue(kRunKey, kProductName);
    ASSERT_TRUE(logonCommand);

    monitor_.reset(startProcess(*logonCommand));
    ASSERT_TRUE(monitor_);
    const DWORD pid = ::GetProcessId(monitor_.get());
    ASSERT_TRUE(waitUntil([&] { return hasMonitorWindow(pid); }, 20000));
    // Under Wine the tray icon of a monitor that has just started is slow to
    // go away; give it the moment an administrator's monitor has had.
    ::Sleep(3000);

    EXPECT_EQ(runProcess(L"\"" + program() + L"\" exit", 20000), 0);
    ASSERT_EQ(::WaitForSingleObject(monitor_.get(), 5000), WAIT_OBJECT_0);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(monitor_.get(), &code);
    EXPECT_EQ(code, 0u);
}

TEST_F(Package, HigherVersionReplacesTheInstalledOne) {
    replace(L"current.msi", L"newer.msi", kNewerVersion);
    EXPECT_TRUE(fileExists(program()));
    EXPECT_EQ(machineValue(kRunKey, kProductName).value_or(L"(missing)"), L"\"" + program() + L"\"");
}

TEST_F(Package, SecondBuildOfTheSameVersionReplacesTheFirst) {
    replace(L"current.msi", L"rebuilt.msi", kVersion);
}

TEST_F(Package, LowerVersionIsRefusedAndTheHigherStaysInstalled) {
    ASSERT_EQ(install(L"newer.msi"), 0);

    // Refused by the launch condition: the installation ends with that
    // action, having found the newer product. (Wine's installer reports the
    // condition's message only with a user interface.)
    std::string log;
    EXPECT_EQ(msiexecLogged(L"/i \"" + packagePath(L"current.msi") + L"\"", log), ERROR_INSTALL_FAILURE);
    const std::vector<std::string> actions = startedActions(log);
    ASSERT_FALSE(actions.empty()) << log;
    EXPECT_EQ(actions.back(), "LaunchConditions") << ::testing::PrintToString(actions);
    EXPECT_NE(log.find("NEWERVERSIONFOUND = {"), std::string::npos);
    const std::vector<UninstallEntry> entries = uninstallEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].displayVersion, kNewerVersion);
    EXPECT_TRUE(fileExists(program()));
}

TEST_F(Package, RemovalTakesAwayWhatItAddedAndLeavesTheProductsConfigurationLogsAndDumps) {
    // Another program's logon entry beside ours.
    const wchar_t* neighbour = L"Quarn installer test neighbour";
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, neighbour, REG_SZ, L"x.exe", 12), ERROR_SUCCESS);
    const std::wstring productRoot =
        machineValue(product_config::kConfigKey, L"PRODUCT_ROOT_D", KEY_WOW64_32KEY).value_or(L"");
    ASSERT_FALSE(productRoot.empty()) << "the sandbox layout is missing";

    const std::wstring quarnFolder = installFolder().substr(0, installFolder().rfind(L'\\'));
    const std::wstring before[] = {
        keySnapshot(kRunKey, KEY_WOW64_64KEY),           keySnapshot(kRunKey, KEY_WOW64_32KEY),
        keySnapshot(L"Software\\Quarn", KEY_WOW64_64KEY), keySnapshot(L"SOFTWARE\\Quarn", KEY_WOW64_32KEY),
        folderSnapshot(quarnFolder),
        folderSnapshot(productRoot),
    };

    ASSERT_EQ(install(L"current.msi"), 0);
    ASSERT_FALSE(findShortcut().empty());
    EXPECT_EQ(msiexec(L"/x \"" + packagePath(L"current.msi") + L"\""), 0);

    EXPECT_FALSE(fileExists(installFolder()));
    EXPECT_EQ(findShortcut(), L"");
    EXPECT_FALSE(machineValue(kRunKey, kProductName));
    EXPECT_TRUE(uninstallEntries().empty());
    EXPECT_TRUE(relatedProducts().empty());
    const std::wstring after[] = {
        keySnapshot(kRunKey, KEY_WOW64_64KEY),           keySnapshot(kRunKey, KEY_WOW64_32KEY),
        keySnapshot(L"Software\\Quarn", KEY_WOW64_64KEY), keySnapshot(L"SOFTWARE\\Quarn", KEY_WOW64_32KEY),
        folderSnapshot(quarnFolder),
        folderSnapshot(productRoot),
    };
    for (size_t i = 0; i < std::size(before); ++i) EXPECT_EQ(after[i], before[i]);

    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, neighbour);
}
