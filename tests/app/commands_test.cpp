#include "app/control_dlg.h"

#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "services/service_manager.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

using sandboxkit::ScopedService;
using testing_support::BoxAnswerer;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;
using testing_support::readTree;
using testing_support::setItemChecked;
using testing_support::TreeItem;

namespace {

bool isRunning(const std::wstring& name) {
    return sandboxkit::queryStatus(name).dwCurrentState == SERVICE_RUNNING;
}
bool isStopped(const std::wstring& name) {
    return sandboxkit::queryStatus(name).dwCurrentState == SERVICE_STOPPED;
}

DWORD processOf(const std::wstring& name) {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                           &needed);
    return status.dwProcessId;
}

// Records every text the status line is given (and the tooltip the tray held
// at that moment), optionally reacting to each.
class StatusRecorder {
public:
    StatusRecorder(HWND dialog, OpenMonitor& monitor) : monitor_(monitor) {
        control_ = ::GetDlgItem(dialog, IDC_STATUS);
        current_ = this;
        previous_ = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrW(control_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&StatusRecorder::proc)));
    }
    ~StatusRecorder() {
        ::SetWindowLongPtrW(control_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
        current_ = nullptr;
    }
    StatusRecorder(const StatusRecorder&) = delete;
    StatusRecorder& operator=(const StatusRecorder&) = delete;

    std::vector<std::wstring> texts;
    std::vector<std::wstring> tipsBefore;
    std::function<void(const std::wstring&)> onText;

private:
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_SETTEXT && current_) {
            const std::wstring text = lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"";
            current_->texts.push_back(text);
            current_->tipsBefore.push_back(current_->monitor_.tray().lastTip());
            if (current_->onText) current_->onText(text);
        }
        return ::CallWindowProcW(previous_, window, message, wParam, lParam);
    }

    static inline StatusRecorder* current_ = nullptr;
    static inline WNDPROC previous_ = nullptr;
    OpenMonitor& monitor_;
    HWND control_;
};

void checkService(OpenMonitor& monitor, const std::wstring& displayName) {
    for (const TreeItem& group : readTree(monitor.tree()))
        for (const TreeItem& item : group.children)
            if (item.text == displayName) {
                setItemChecked(monitor.tree(), item.handle, true);
                return;
            }
    ADD_FAILURE() << "not in the tree";
}

TEST(ServiceCommands, StartWithNothingCheckedOnlyRefreshes) {
    ScopedService idle(sandboxkit::uniqueName(L"qmn1"), L"Idle", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", idle.name());
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    monitor.setStatus(L"marker");
    monitor.command(IDC_START);
    EXPECT_EQ(monitor.status(), L"");
    EXPECT_TRUE(isStopped(idle.name()));
    monitor.command(IDC_RESTART);
    EXPECT_TRUE(isStopped(idle.name()));
    EXPECT_TRUE(boxes.seen().empty());
}

TEST(ServiceCommands, StartAndStopCheckedServicesWithProgress) {
    ScopedService disabled(sandboxkit::uniqueName(L"qmd1"), L"Disabled one", L"", {}, SERVICE_DISABLED);
    ScopedService startable(sandboxkit::uniqueName(L"qmd2"), L"Startable one", L"");
    ScopedService unchecked(sandboxkit::uniqueName(L"qmd3"), L"Unchecked one", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    for (const auto* service : {&disabled, &startable, &unchecked})
        packages.addService(L"t", L"p", service->name(), L"Group");
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    checkService(monitor, L"Disabled one");
    checkService(monitor, L"Startable one");

    {
        StatusRecorder status(monitor.window(), monitor);
        monitor.command(IDC_START);
        EXPECT_EQ(status.texts, (std::vector<std::wstring>{L"Build Dependencies for Startable one...",
                                                           L"Starting Startable one...", L""}));
        ASSERT_EQ(status.tipsBefore.size(), 3u);
        EXPECT_EQ(status.tipsBefore[1], L"Quarn - Build Dependencies for Startable one...");
        EXPECT_EQ(status.tipsBefore[2], L"Quarn - Starting Startable one...");
    }
    EXPECT_TRUE(isRunning(startable.name()));
    EXPECT_TRUE(isStopped(disabled.name()));
    EXPECT_TRUE(isStopped(unchecked.name()));
    EXPECT_TRUE(boxes.seen().empty());
    // The tooltip shows the management service's state again.
    EXPECT_EQ(monitor.tray().lastTip().rfind(L"Quarn - ", 0), 0u);
    EXPECT_EQ(monitor.tray().lastTip().find(L"Starting"), std::wstring::npos);
    // Check marks and pictures after the closing refresh.
    for (const TreeItem& item : testing_support::childrenOf(monitor.tree(), L"Group")) {
        EXPECT_EQ(item.checked, item.text != L"Unchecked one");
        if (item.text == L"Startable one") {
            EXPECT_EQ(item.image, 0);
        }
    }

    {
        StatusRecorder status(monitor.window(), monitor);
        monitor.command(IDC_STOP);
        EXPECT_EQ(status.texts, (std::vector<std::wstring>{L"Build Dependencies for Startable one...",
                                                           L"Stopping Startable one...", L""}));
    }
    EXPECT_TRUE(isStopped(startable.name()));
    EXPECT_TRUE(boxes.seen().empty());
}

TEST(ServiceCommands, SlowFailingTwiceThenStartingShowsNoBox) {
    ScopedService flaky(sandboxkit::uniqueName(L"qmf1"), L"Flaky", L"--fail-start=1");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", flaky.name());
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDABORT});
    checkService(monitor, L"Flaky");
    int attempts = 0;
    StatusRecorder status(monitor.window(), monitor);
    status.onText = [&](const std::wstring& text) {
        if (text == L"Starting Flaky..." && ++attempts == 3) sandboxkit::setArguments(flaky.name(), L"");
    };
    monitor.command(IDC_START);
    EXPECT_EQ(attempts, 3);
    EXPECT_TRUE(isRunning(flaky.name()));
    EXPECT_TRUE(boxes.seen().empty());
}

struct FailingSetup {
    ScopedService failing{sandboxkit::uniqueName(L"qmx1"), L"Always failing", L"--fail-start=1"};
    // Fails too until the last pass reaches the failing service.
    ScopedService after{sandboxkit::uniqueName(L"qmx2"), L"Fine after", L"--fail-start=1"};
    PackagesSandbox packages;
    FailingSetup() {
        packages.setInstalled(L"t", L"p");
        packages.addService(L"t", L"p", failing.name(), L"Group");
        packages.addService(L"t", L"p", after.name(), L"Group");
    }
};

// Runs Start on both services with the given answers; returns the boxes and
// how many start attempts the failing service saw.
std::vector<testing_support::SeenBox> startBoth(FailingSetup& setup, std::vector<int> answers, int& attempts,
                                                 bool knockDuringBox = false) {
    OpenMonitor monitor;
    checkService(monitor, L"Always failing");
    checkService(monitor, L"Fine after");
    BoxAnswerer boxes(monitor.window(), std::move(answers));
    if (knockDuringBox) {
        // A tray click and a refresh arriving while the box is open must not
        // touch the catalogue the command walks.
        boxes.beforeAnswer([&](const testing_support::SeenBox&) {
            ::PostMessageW(monitor.window(), kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
            ::PostMessageW(monitor.window(), WM_COMMAND, IDC_REFRESH, 0);
            ::PostMessageW(monitor.window(), WM_COMMAND, ID_TRAY_START, 0);
            ::Sleep(300);
        });
    }
    attempts = 0;
    StatusRecorder status(monitor.window(), monitor);
    status.onText = [&](const std::wstring& text) {
        if (text == L"Starting Always failing..." && ++attempts == 3) sandboxkit::setArguments(setup.after.name(), L"");
    };
    monitor.command(IDC_START);
    if (knockDuringBox) {
        EXPECT_FALSE(::IsWindowVisible(monitor.window()));
    }
    return boxes.seen();
}

void expectFailureBox(const testing_support::SeenBox& box, const std::wstring& service) {
    EXPECT_EQ(box.caption, L"Start Always failing");
    EXPECT_NE(box.text.find(L"Start service " + service), std::wstring::npos);
    EXPECT_NE(box.text.find(L"service::startStopService"), std::wstring::npos);
}

TEST(ServiceCommands, SlowLastPassIgnoreGoesOnWithTheNextService) {
    FailingSetup setup;
    int attempts = 0;
    const auto boxes = startBoth(setup, {IDIGNORE}, attempts, true);
    ASSERT_EQ(boxes.size(), 1u);
    expectFailureBox(boxes[0], setup.failing.name());
    EXPECT_EQ(attempts, 3);
    EXPECT_TRUE(isRunning(setup.after.name()));
}

TEST(ServiceCommands, SlowLastPassRetryCallsTheEngineAgain) {
    FailingSetup setup;
    int attempts = 0;
    const auto boxes = startBoth(setup, {IDRETRY, IDIGNORE}, attempts);
    ASSERT_EQ(boxes.size(), 2u);
    expectFailureBox(boxes[1], setup.failing.name());
    EXPECT_EQ(attempts, 4);
    EXPECT_TRUE(isRunning(setup.after.name()));
}

TEST(ServiceCommands, SlowLastPassAbortLeavesTheRestUntouched) {
    FailingSetup setup;
    int attempts = 0;
    const auto boxes = startBoth(setup, {IDABORT}, attempts);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(attempts, 3);
    EXPECT_TRUE(isStopped(setup.after.name()));
}

// Wine's manager reports no dependents. This answers EnumDependentServicesW
// like Windows would: the first enumeration (the stop of the checked service)
// gets the names queued here that are in the requested state, later ones
// (their own dependents) get none.
std::vector<std::wstring> g_firstDependents;
int g_enumerations = 0;

BOOL WINAPI windowsDependents(SC_HANDLE, DWORD state, ENUM_SERVICE_STATUSW* records, DWORD size, DWORD* needed,
                              DWORD* count) {
    std::vector<std::wstring> names;
    if (g_enumerations == 0) {
        for (const std::wstring& name : g_firstDependents) {
            const bool active = sandboxkit::queryStatus(name).dwCurrentState != SERVICE_STOPPED;
            if (((state & SERVICE_ACTIVE) && active) || ((state & SERVICE_INACTIVE) && !active)) names.push_back(name);
        }
    }
    DWORD total = 0;
    for (const std::wstring& name : names)
        total += static_cast<DWORD>(sizeof(ENUM_SERVICE_STATUSW) + (name.size() + 1) * sizeof(wchar_t));
    *count = 0;
    if (size < total) {
        *needed = total;
        ::SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    ++g_enumerations;
    auto* text = reinterpret_cast<wchar_t*>(records + names.size());
    for (const std::wstring& name : names) {
        std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        records[*count] = ENUM_SERVICE_STATUSW{};
        records[*count].lpServiceName = text;
        records[*count].lpDisplayName = text;
        text += name.size() + 1;
        ++*count;
    }
    *needed = 0;
    return TRUE;
}

class WindowsDependents {
public:
    WindowsDependents() : previous_(service_detail::configCalls().enumDependentServices) {
        service_detail::configCalls().enumDependentServices = &windowsDependents;
    }
    ~WindowsDependents() {
        service_detail::configCalls().enumDependentServices = previous_;
        g_firstDependents.clear();
        g_enumerations = 0;
    }

private:
    decltype(service_detail::configCalls().enumDependentServices) previous_;
};

TEST(ServiceCommands, RestartButtonRestartsDependentsToo) {
    ScopedService base(sandboxkit::uniqueName(L"qmr1"), L"Base", L"");
    ScopedService dependent(sandboxkit::uniqueName(L"qmr2"), L"Dependent", L"", {base.name()});
    ScopedService outside(sandboxkit::uniqueName(L"qmr3"), L"Outside", L"", {base.name()});
    sandboxkit::startAndWait(base.name());
    sandboxkit::startAndWait(dependent.name());
    sandboxkit::startAndWait(outside.name());
    WindowsDependents dependents;
    g_firstDependents = {dependent.name(), outside.name()};
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", base.name());
    packages.addService(L"t", L"p", dependent.name());  // not checked
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    const DWORD baseBefore = processOf(base.name());
    const DWORD dependentBefore = processOf(dependent.name());
    checkService(monitor, L"Base");
    monitor.command(IDC_RESTART);
    EXPECT_TRUE(isRunning(base.name()));
    EXPECT_TRUE(isRunning(dependent.name()));
    EXPECT_NE(processOf(base.name()), baseBefore);
    EXPECT_NE(processOf(dependent.name()), dependentBefore);
    // Not in the catalogue: stopped with its dependency and left stopped.
    EXPECT_TRUE(isStopped(outside.name()));
    EXPECT_TRUE(boxes.seen().empty());
    // The marks are where they were.
    for (const TreeItem& item : testing_support::childrenOf(monitor.tree(), L"Other")) {
        EXPECT_EQ(item.checked, item.text == L"Base");
    }
}

TEST(ServiceCommands, CommandsWithoutCatalogueStillRefresh) {
    PackagesSandbox packages(false);
    BoxAnswerer boxes(nullptr, {IDOK});
    OpenMonitor monitor;
    ASSERT_TRUE(testing_support::waitUntil([&] { return boxes.seen().size() == 1; }, 5000));
    for (WORD command : {IDC_START, IDC_STOP, IDC_RESTART, ID_TRAY_START}) monitor.command(command);
    ASSERT_TRUE(testing_support::waitUntil([&] { return boxes.seen().size() == 5; }, 5000));
    for (const auto& box : boxes.seen()) EXPECT_EQ(box.caption, L"Runtime error");
    EXPECT_EQ(monitor.dialog().catalogue(), nullptr);
}

TEST(ServiceCommands, SlowTrayMenuActsOnEveryCatalogueService) {
    ScopedService grouped(sandboxkit::uniqueName(L"qma1"), L"Grouped", L"");
    ScopedService other(sandboxkit::uniqueName(L"qma2"), L"In other", L"");
    ScopedService disabled(sandboxkit::uniqueName(L"qma3"), L"Disabled", L"", {}, SERVICE_DISABLED);
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", grouped.name(), L"Mail Server");
    packages.addService(L"t", L"p", other.name());
    packages.addService(L"t", L"p", disabled.name());
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});

    monitor.command(ID_TRAY_START);
    EXPECT_TRUE(isRunning(grouped.name()));
    EXPECT_TRUE(isRunning(other.name()));
    EXPECT_TRUE(isStopped(disabled.name()));
    const DWORD before = processOf(other.name());
    monitor.command(ID_TRAY_RESTART);
    EXPECT_TRUE(isRunning(other.name()));
    EXPECT_NE(processOf(other.name()), before);
    monitor.command(ID_TRAY_STOP);
    EXPECT_TRUE(isStopped(grouped.name()));
    EXPECT_TRUE(isStopped(other.name()));
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_EQ(monitor.tray().lastTip().find(L"Stopping"), std::wstring::npos);
}

// A start refused with access denied is logged at level Warning with the
// command's context, shows no box and is not tried again in a later pass.
TEST(ServiceCommands, AccessDeniedIsAWarningWithoutBoxOrRetry) {
    ScopedService denied(sandboxkit::uniqueName(L"qma1"), L"Denied one", L"--fail-start=5");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", denied.name());
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDABORT});
    checkService(monitor, L"Denied one");
    int attempts = 0;
    StatusRecorder status(monitor.window(), monitor);
    status.onText = [&](const std::wstring& text) {
        if (text == L"Starting Denied one...") ++attempts;
    };
    const size_t logged = testing_support::debugLogText().size();
    monitor.command(IDC_START);
    EXPECT_EQ(attempts, 1);
    EXPECT_TRUE(boxes.seen().empty());
    EXPECT_TRUE(isStopped(denied.name()));

    const std::wstring log = testing_support::debugLogText().substr(logged);
    const size_t context = log.find(L"Unable to make Task Scheduler service started.");
    ASSERT_NE(context, std::wstring::npos) << "no warning logged";
    const size_t lineStart = log.rfind(L"\r\n", context);
    const std::wstring line = log.substr(lineStart == std::wstring::npos ? 0 : lineStart + 2,
                                         log.find(L"\r\n", context) - (lineStart == std::wstring::npos ? 0 : lineStart + 2));
    EXPECT_NE(line.find(L" Warning: "), std::wstring::npos) << std::string(line.begin(), line.end());
    EXPECT_NE(line.find(L"Start service " + denied.name()), std::wstring::npos);
    EXPECT_NE(line.find(L"ControlDlg::controlService"), std::wstring::npos);
}

// While a command runs (here: its Abort/Retry/Ignore box is open), a tray
// click and other commands are dropped: not run inside the box's message
// loop, and not run later either.
TEST(ServiceCommands, SlowTrayClicksAndCommandsAreDroppedWhileACommandRuns) {
    ScopedService failing(sandboxkit::uniqueName(L"qmg1"), L"Always failing", L"--fail-start=1");
    ScopedService bystander(sandboxkit::uniqueName(L"qmg2"), L"Bystander", L"");
    sandboxkit::startAndWait(bystander.name());
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", failing.name(), L"Group");
    packages.addService(L"t", L"p", bystander.name(), L"Group");
    OpenMonitor monitor;
    checkService(monitor, L"Always failing");
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    std::atomic<int> knocks{0};
    boxes.beforeAnswer([&](const testing_support::SeenBox&) {
        ++knocks;
        // Each would show the dialog, or stop every service of the catalogue.
        ::PostMessageW(monitor.window(), kTrayCallbackMessage, kTrayIconId, WM_LBUTTONUP);
        ::PostMessageW(monitor.window(), WM_COMMAND, ID_TRAY_STOP, 0);
        ::PostMessageW(monitor.window(), WM_COMMAND, IDC_STOP, 0);
        ::Sleep(300);
    });
    monitor.command(IDC_START);
    testing_support::pumpMessages(300);
    EXPECT_EQ(knocks.load(), 1);
    EXPECT_EQ(boxes.seen().size(), 1u);
    EXPECT_FALSE(::IsWindowVisible(monitor.window())) << "the tray click was acted on";
    EXPECT_TRUE(isRunning(bystander.name())) << "a stop command was acted on";
    EXPECT_FALSE(monitor.dialog().commandRunning());
}

}  // namespace
