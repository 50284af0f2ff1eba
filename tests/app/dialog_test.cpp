#include "app/control_dlg.h"

#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "sandbox_kit.h"
#include "test_support.h"

#include <gtest/gtest.h>

using sandboxkit::ScopedService;
using testing_support::BoxAnswerer;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;
using testing_support::readTree;
using testing_support::setItemChecked;
using testing_support::TreeItem;

namespace {

std::vector<std::wstring> texts(const std::vector<TreeItem>& items) {
    std::vector<std::wstring> result;
    for (const TreeItem& item : items) result.push_back(item.text);
    return result;
}

const TreeItem& root(const std::vector<TreeItem>& tree, const std::wstring& text) {
    for (const TreeItem& item : tree)
        if (item.text == text) return item;
    throw std::runtime_error("no such group");
}

TEST(MonitorDialog, TreeShowsGroupsSortedServicesAndStatePictures) {
    ScopedService running(sandboxkit::uniqueName(L"qmt1"), L"Zeta running", L"");
    ScopedService stopped(sandboxkit::uniqueName(L"qmt2"), L"Alpha stopped", L"");
    ScopedService disabled(sandboxkit::uniqueName(L"qmt3"), L"Mid disabled", L"", {}, SERVICE_DISABLED);
    ScopedService mail(sandboxkit::uniqueName(L"qmt4"), L"Mail one", L"");
    sandboxkit::startAndWait(running.name());
    PackagesSandbox packages;
    packages.setInstalled(L"web", L"iis");
    packages.addService(L"web", L"iis", running.name(), L"Web");
    packages.addService(L"web", L"iis", stopped.name(), L"Web");
    packages.addService(L"web", L"iis", disabled.name(), L"Web");
    packages.setInstalled(L"mail", L"me");
    packages.addService(L"mail", L"me", mail.name(), L"Mail Server");

    OpenMonitor monitor;
    auto tree = readTree(monitor.tree());
    EXPECT_EQ(texts(tree), (std::vector<std::wstring>{L"Quarn Run-Time", L"Mail Server", L"Web", L"Other"}));
    const TreeItem& web = root(tree, L"Web");
    EXPECT_EQ(texts(web.children), (std::vector<std::wstring>{L"Alpha stopped", L"Mid disabled", L"Zeta running"}));
    EXPECT_EQ(web.children[0].image, 1);
    EXPECT_EQ(web.children[1].image, 2);
    EXPECT_EQ(web.children[2].image, 0);
    EXPECT_EQ(root(tree, L"Mail Server").children.at(0).image, 1);
    // Group pictures follow the three service pictures, one per group.
    for (const TreeItem& group : tree) {
        EXPECT_GE(group.image, 3);
        EXPECT_FALSE(group.checked);
    }
    EXPECT_EQ(ImageList_GetImageCount(monitor.dialog().imageList()), 7);

    // Refreshes do not pile up group pictures.
    for (int i = 0; i < 3; ++i) monitor.command(IDC_REFRESH);
    EXPECT_EQ(ImageList_GetImageCount(monitor.dialog().imageList()), 7);
    // A service removed from Windows leaves the tree.
    sandboxkit::deleteService(stopped.name());
    monitor.command(IDC_REFRESH);
    EXPECT_EQ(texts(root(readTree(monitor.tree()), L"Web").children),
              (std::vector<std::wstring>{L"Mid disabled", L"Zeta running"}));
}

TEST(MonitorDialog, CheckMarksSurviveRefreshByName) {
    ScopedService moving(sandboxkit::uniqueName(L"qmk1"), L"Moving", L"");
    ScopedService leaving(sandboxkit::uniqueName(L"qmk2"), L"Leaving", L"");
    ScopedService staying(sandboxkit::uniqueName(L"qmk3"), L"Staying", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", moving.name(), L"First");
    packages.addService(L"t", L"p", leaving.name(), L"First");
    packages.addService(L"t", L"p", staying.name(), L"Mail Server");

    OpenMonitor monitor;
    auto tree = readTree(monitor.tree());
    setItemChecked(monitor.tree(), root(tree, L"First").children.at(0).handle, true);  // Leaving
    setItemChecked(monitor.tree(), root(tree, L"First").children.at(1).handle, true);  // Moving
    setItemChecked(monitor.tree(), root(tree, L"Mail Server").handle, true);

    packages.removePackagesKey();
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", moving.name(), L"Second");
    packages.addService(L"t", L"p", staying.name(), L"Mail Server");
    monitor.command(IDC_REFRESH);

    tree = readTree(monitor.tree());
    EXPECT_EQ(texts(tree), (std::vector<std::wstring>{L"Quarn Run-Time", L"Mail Server", L"Second", L"Other"}));
    EXPECT_TRUE(root(tree, L"Second").children.at(0).checked);
    EXPECT_FALSE(root(tree, L"Second").checked);
    EXPECT_TRUE(root(tree, L"Mail Server").checked);
    // The rebuilt group remembers its mark: the next tick does not pass it on.
    EXPECT_FALSE(root(tree, L"Mail Server").children.at(0).checked);
    monitor.tick();
    EXPECT_FALSE(root(readTree(monitor.tree()), L"Mail Server").children.at(0).checked);

    // The service that left has lost its mark when it comes back.
    packages.addService(L"t", L"p", leaving.name(), L"Second");
    monitor.command(IDC_REFRESH);
    for (const TreeItem& item : testing_support::childrenOf(monitor.tree(), L"Second"))
        EXPECT_EQ(item.checked, item.text == L"Moving") << std::string(item.text.begin(), item.text.end());
}

TEST(MonitorDialog, GroupCheckPassesToItsServicesOnTheNextTick) {
    ScopedService a(sandboxkit::uniqueName(L"qmg1"), L"A", L"");
    ScopedService b(sandboxkit::uniqueName(L"qmg2"), L"B", L"");
    ScopedService c(sandboxkit::uniqueName(L"qmg3"), L"C", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", a.name(), L"G");
    packages.addService(L"t", L"p", b.name(), L"G");
    packages.addService(L"t", L"p", c.name());

    OpenMonitor monitor;
    HWND tree = monitor.tree();
    // A single service never checks its group.
    setItemChecked(tree, root(readTree(tree), L"Other").children.at(0).handle, true);
    monitor.tick();
    EXPECT_FALSE(root(readTree(tree), L"Other").checked);
    EXPECT_TRUE(root(readTree(tree), L"Other").children.at(0).checked);

    setItemChecked(tree, root(readTree(tree), L"G").handle, true);
    monitor.tick();
    for (const TreeItem& item : testing_support::childrenOf(tree, L"G")) EXPECT_TRUE(item.checked);
    ServiceGroup* g = nullptr;
    for (const auto& group : *monitor.dialog().catalogue())
        if (group->name == L"G") g = group.get();
    ASSERT_NE(g, nullptr);
    EXPECT_TRUE(g->checked);
    for (const auto& entry : g->services) EXPECT_TRUE(entry->checked);

    // Services of a checked group can be unchecked one by one.
    setItemChecked(tree, root(readTree(tree), L"G").children.at(0).handle, false);
    monitor.tick();
    EXPECT_FALSE(root(readTree(tree), L"G").children.at(0).checked);
    EXPECT_TRUE(root(readTree(tree), L"G").children.at(1).checked);

    setItemChecked(tree, root(readTree(tree), L"G").handle, false);
    monitor.tick();
    for (const TreeItem& item : testing_support::childrenOf(tree, L"G")) EXPECT_FALSE(item.checked);
    EXPECT_TRUE(root(readTree(tree), L"Other").children.at(0).checked);
}

TEST(MonitorDialog, SelectAllAndClearAll) {
    ScopedService a(sandboxkit::uniqueName(L"qms1"), L"A", L"");
    ScopedService b(sandboxkit::uniqueName(L"qms2"), L"B", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    packages.addService(L"t", L"p", a.name(), L"G");
    packages.addService(L"t", L"p", b.name());

    OpenMonitor monitor;
    monitor.command(IDC_SELECT_ALL);
    monitor.tick();
    for (const TreeItem& group : readTree(monitor.tree())) {
        EXPECT_TRUE(group.checked);
        for (const TreeItem& item : group.children) EXPECT_TRUE(item.checked);
    }
    for (const auto& group : *monitor.dialog().catalogue()) EXPECT_TRUE(group->checked);

    monitor.command(IDC_CLEAR_ALL);
    monitor.tick();
    for (const TreeItem& group : readTree(monitor.tree())) {
        EXPECT_FALSE(group.checked);
        for (const TreeItem& item : group.children) EXPECT_FALSE(item.checked);
    }
    for (const auto& group : *monitor.dialog().catalogue()) EXPECT_FALSE(group->checked);
}

TEST(MonitorDialog, MissingPackagesKeyShowsRuntimeErrorOnEveryRefresh) {
    PackagesSandbox packages(false);
    BoxAnswerer boxes(nullptr, {IDOK});
    OpenMonitor monitor;
    ASSERT_TRUE(testing_support::waitUntil([&] { return boxes.seen().size() == 1; }, 5000));
    EXPECT_EQ(boxes.seen()[0].caption, L"Runtime error");
    EXPECT_NE(boxes.seen()[0].text.find(L"RegOpenKeyEx subKey=SOFTWARE\\Quarn\\ZRT Config\\Config\\Packages"),
              std::wstring::npos);
    EXPECT_NE(boxes.seen()[0].text.find(L"Process msg 272(VDlg::DialogProc line 106)"), std::wstring::npos);
    // The initialisation went on: window icon and timer are set.
    EXPECT_NE(monitor.send(WM_GETICON, ICON_SMALL), 0);
    EXPECT_NE(monitor.send(WM_GETICON, ICON_BIG), 0);
    EXPECT_TRUE(::KillTimer(monitor.window(), 1));
    ::SetTimer(monitor.window(), 1, 100, nullptr);
    EXPECT_TRUE(readTree(monitor.tree()).empty());
    EXPECT_EQ(monitor.dialog().catalogue(), nullptr);

    // Each refresh fails again; the other commands have nothing to act on.
    monitor.command(IDC_SELECT_ALL);
    monitor.command(IDC_REFRESH);
    monitor.tick();
    ASSERT_TRUE(testing_support::waitUntil([&] { return boxes.seen().size() == 2; }, 5000));
    EXPECT_NE(boxes.seen()[1].text.find(L"Process msg 273"), std::wstring::npos);
    EXPECT_TRUE(readTree(monitor.tree()).empty());

    packages.createPackages(L"");
    monitor.command(IDC_REFRESH);
    EXPECT_EQ(readTree(monitor.tree()).size(), 3u);
    EXPECT_EQ(boxes.seen().size(), 2u);
}

TEST(MonitorDialog, CommandsWithNotificationCodeAreIgnored) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    monitor.setStatus(L"marker");
    monitor.send(WM_COMMAND, MAKEWPARAM(IDC_REFRESH, 1), 0);
    monitor.send(WM_COMMAND, MAKEWPARAM(IDC_HIDE, BN_SETFOCUS), 0);
    EXPECT_EQ(monitor.status(), L"marker");
    monitor.command(IDC_REFRESH);
    EXPECT_EQ(monitor.status(), L"");
}

TEST(MonitorDialog, CloseAndHideOnlyHide) {
    PackagesSandbox packages;
    OpenMonitor monitor;
    EXPECT_FALSE(::IsWindowVisible(monitor.window()));
    monitor.command(ID_TRAY_CONTROL_PANEL);
    EXPECT_TRUE(::IsWindowVisible(monitor.window()));
    monitor.send(WM_CLOSE);
    EXPECT_FALSE(::IsWindowVisible(monitor.window()));
    monitor.dialog().showMonitor();
    monitor.command(IDC_HIDE);
    EXPECT_FALSE(::IsWindowVisible(monitor.window()));
    MSG message;
    EXPECT_FALSE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    EXPECT_TRUE(::IsWindow(monitor.window()));

    monitor.command(ID_TRAY_EXIT);
    EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    monitor.send(::RegisterWindowMessageW(L"QuarnTrayIconExitMsg"));
    EXPECT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
