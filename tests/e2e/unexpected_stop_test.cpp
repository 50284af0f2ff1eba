// The built monitor, started as the logon entry starts it and never shown:
// a product service stopped from outside is written to the product log as
// stopped unexpectedly. (The balloon of the same stop is checked with the
// monitor in the test process, which can read what it handed the
// notification area.)
#include "diagnostics/handles.h"
#include "product_settings.h"
#include "sandbox_kit.h"
#include "test_support.h"

#include "../app/packages_fixture.h"

#include <gtest/gtest.h>

#include <shellapi.h>

using namespace testing_support;

namespace {

size_t stopLines(const std::wstring& name) {
    const std::wstring text = debugLogText();
    const std::wstring line = L"Service " + name + L" stopped unexpectedly";
    size_t count = 0;
    for (size_t at = text.find(line); at != std::wstring::npos; at = text.find(line, at + 1)) ++count;
    return count;
}

// A modification that changes nothing succeeds only for an icon the
// notification area holds: the monitor's icon 1, on any window of `pid`.
struct IconSearch {
    DWORD pid;
    HWND window;
};

BOOL CALLBACK holdsIcon(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<IconSearch*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->pid) return TRUE;
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = 1;
    if (!::Shell_NotifyIconW(NIM_MODIFY, &data)) return TRUE;
    search->window = window;
    return FALSE;
}

// The window holding the monitor's icon, or null.
HWND iconWindow(DWORD pid) {
    IconSearch search{pid, nullptr};
    ::EnumWindows(&holdsIcon, reinterpret_cast<LPARAM>(&search));
    return search.window;
}

TEST(UnexpectedStop, AProductServiceStoppedFromOutsideIsLoggedByAMonitorNeverShown) {
    ProductSettings settings;
    settings.setDword(L"Debug", 1);
    PackagesSandbox packages;
    sandboxkit::ScopedService service{sandboxkit::uniqueName(L"qes"), L"Watched from outside", L""};
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", service.name(), L"Outside");
    sandboxkit::startAndWait(service.name());

    UniqueHandle monitor(startProcess(L"\"" + binDir() + L"\\svcsentry.exe\"", capturedOutputFile(L"monitor-output")));
    ASSERT_TRUE(monitor);
    const DWORD pid = ::GetProcessId(monitor.get());
    HWND window = nullptr;
    ASSERT_TRUE(waitUntil([&] { return (window = iconWindow(pid)) != nullptr; }, 20000));
    // The registrations follow the icon.
    ::Sleep(1000);
    const size_t before = stopLines(service.name());
    ASSERT_EQ(sandboxkit::controlService(service.name(), SERVICE_CONTROL_STOP), 0u);
    EXPECT_TRUE(waitUntil([&] { return stopLines(service.name()) == before + 1; }, 5000));
    // This monitor alone is asked to quit, as `exit` asks every one.
    ::PostMessageW(window, ::RegisterWindowMessageW(L"QuarnTrayIconExitMsg"), 0, 0);
    if (::WaitForSingleObject(monitor.get(), 10000) != WAIT_OBJECT_0) ::TerminateProcess(monitor.get(), 1);
}

}  // namespace
