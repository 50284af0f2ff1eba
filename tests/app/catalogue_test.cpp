#include "app/service_catalogue.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/log_manager.h"
#include "threading/execute_context.h"
#include "packages_fixture.h"
#include "resource_ids.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using sandboxkit::ScopedService;
using testing_support::PackagesSandbox;

namespace {

// Group name -> shown names of its services, in catalogue order.
using Shape = std::vector<std::pair<std::wstring, std::vector<std::wstring>>>;

Shape shapeOf(const ServiceGroups& groups) {
    Shape shape;
    for (const auto& group : groups) {
        std::vector<std::wstring> names;
        for (const auto& entry : group->services) {
            EXPECT_EQ(entry->group, group.get());
            EXPECT_FALSE(entry->checked);
            EXPECT_EQ(entry->item, nullptr);
            names.push_back(entry->displayName);
        }
        shape.emplace_back(group->name, names);
    }
    return shape;
}

// Replaces the display-name query for the scope.
class DisplayNames {
public:
    explicit DisplayNames(SvcSentry::DisplayNameQuery query) : previous_(SvcSentry::setDisplayNameQuery(query)) {}
    ~DisplayNames() { SvcSentry::setDisplayNameQuery(previous_); }

private:
    SvcSentry::DisplayNameQuery previous_;
};

TEST(Catalogue, FixedGroupsWhenNothingIsInstalled) {
    PackagesSandbox packages;
    packages.setInstalled(L"dns", L"");
    packages.createPackages(L"web");                    // no default value
    packages.addService(L"web", L"iis", L"W3SVC");      // ignored: nothing installed
    packages.addService(L"dns", L"bind", L"named");

    const ServiceGroups& groups = SvcSentry::AllServices();
    EXPECT_EQ(shapeOf(groups), (Shape{{L"Quarn Run-Time", {}}, {L"Mail Server", {}}, {L"Other", {}}}));
    std::vector<WORD> icons;
    for (const auto& group : groups) {
        icons.push_back(group->icon);
        EXPECT_FALSE(group->checked);
        EXPECT_EQ(group->item, nullptr);
    }
    EXPECT_EQ(icons, (std::vector<WORD>{IDI_GROUP_RUNTIME, IDI_GROUP_MAIL, IDI_GROUP_OTHER}));
}

TEST(Catalogue, GroupsFromPackagesStandBetweenMailAndOther) {
    // Services are listed in the registry's (alphabetical) order: the
    // prefixes fix it.
    ScopedService web(sandboxkit::uniqueName(L"qmc1"), L"Web", L"");
    ScopedService mail(sandboxkit::uniqueName(L"qmc2"), L"Mail", L"");
    ScopedService plain(sandboxkit::uniqueName(L"qmc3"), L"Plain", L"");
    ScopedService hidden(sandboxkit::uniqueName(L"qmc4"), L"Hidden one", L"");
    ScopedService lower(sandboxkit::uniqueName(L"qmc5"), L"Lower hidden", L"");
    ScopedService other(sandboxkit::uniqueName(L"qmc6"), L"Other value", L"");
    ScopedService runtime(sandboxkit::uniqueName(L"qmc7"), L"Runtime", L"");
    ScopedService dns(sandboxkit::uniqueName(L"qmd1"), L"Dns", L"");
    ScopedService web2(sandboxkit::uniqueName(L"qmd2"), L"Web too", L"");
    const std::wstring missing = sandboxkit::uniqueName(L"qmc0");

    PackagesSandbox packages;
    packages.setInstalled(L"a", L"pa");
    packages.addService(L"a", L"pa", missing, L"Missing group");
    packages.addService(L"a", L"pa", web.name(), L"Web");
    packages.addService(L"a", L"pa", mail.name(), L"Mail Server");
    packages.addService(L"a", L"pa", plain.name());
    packages.addService(L"a", L"pa", hidden.name(), L"Hidden");
    packages.addService(L"a", L"pa", lower.name(), L"hidden");
    packages.addService(L"a", L"pa", other.name(), L"Other");
    packages.addService(L"a", L"pa", runtime.name(), L"Quarn Run-Time", REG_EXPAND_SZ);
    packages.setInstalled(L"b", L"pb");
    packages.addService(L"b", L"pb", dns.name(), L"DNS");
    packages.addService(L"b", L"pb", web2.name(), L"Web");
    // The same service declared by a second installed package.
    packages.addService(L"b", L"pb", mail.name(), L"Mail Server");

    EXPECT_EQ(shapeOf(SvcSentry::AllServices()), (Shape{
                                                      {L"Quarn Run-Time", {L"Runtime"}},
                                                      {L"Mail Server", {L"Mail", L"Mail"}},
                                                      {L"Web", {L"Web", L"Web too"}},
                                                      {L"hidden", {L"Lower hidden"}},
                                                      {L"Other", {L"Other value"}},
                                                      {L"DNS", {L"Dns"}},
                                                      {L"Other", {L"Plain"}},
                                                  }));
    std::vector<WORD> icons;
    for (const auto& group : SvcSentry::AllServices()) icons.push_back(group->icon);
    EXPECT_EQ(icons, (std::vector<WORD>{IDI_GROUP_RUNTIME, IDI_GROUP_MAIL, IDI_GROUP_OTHER, IDI_GROUP_OTHER,
                                        IDI_GROUP_OTHER, IDI_GROUP_OTHER, IDI_GROUP_OTHER}));
}

std::wstring g_failingName;
std::wstring g_emptyName;

std::wstring scriptedDisplayName(const std::wstring& service) {
    if (service == g_failingName)
        raiseOsError(L"query service config '" + service + L"'", ERROR_ACCESS_DENIED, ContextEntry{});
    if (service == g_emptyName) return L"";
    return L"Shown " + service;
}

TEST(Catalogue, DisplayNameQueryFailingOrEmpty) {
    ScopedService failing(sandboxkit::uniqueName(L"qmf1"), L"Never shown 1", L"");
    ScopedService empty(sandboxkit::uniqueName(L"qmf2"), L"Never shown 2", L"");
    ScopedService normal(sandboxkit::uniqueName(L"qmf3"), L"Never shown 3", L"");
    g_failingName = failing.name();
    g_emptyName = empty.name();
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    for (const auto* service : {&failing, &empty, &normal}) packages.addService(L"t", L"p", service->name());

    DisplayNames names(&scriptedDisplayName);
    EXPECT_EQ(shapeOf(SvcSentry::AllServices()),
              (Shape{{L"Quarn Run-Time", {}},
                     {L"Mail Server", {}},
                     {L"Other", {failing.name(), L"", L"Shown " + normal.name()}}}));
    std::vector<std::wstring> names2;
    for (const auto& entry : SvcSentry::AllServices().back()->services) names2.push_back(entry->name);
    EXPECT_EQ(names2, (std::vector<std::wstring>{failing.name(), empty.name(), normal.name()}));
}

TEST(Catalogue, FailingPackageTypeIsSkipped) {
    ScopedService first(sandboxkit::uniqueName(L"qmp1"), L"First", L"");
    ScopedService second(sandboxkit::uniqueName(L"qmp2"), L"Second", L"");
    ScopedService third(sandboxkit::uniqueName(L"qmp3"), L"Third", L"");
    PackagesSandbox packages;
    packages.setInstalled(L"a", L"noservices");  // the package has no "services" key
    packages.createPackages(L"a\\noservices");
    packages.setInstalled(L"b", L"badgroup");
    packages.addService(L"b", L"badgroup", first.name(), L"Kept");
    packages.addService(L"b", L"badgroup", second.name());
    packages.setNumber(L"b\\badgroup\\services\\" + second.name(), L"Group", 3);  // wrong type
    packages.addService(L"b", L"badgroup", third.name(), L"Dropped");
    packages.setInstalled(L"c", L"fine");
    packages.addService(L"c", L"fine", third.name());

    // The failing type keeps what it had appended; the next types follow.
    EXPECT_EQ(shapeOf(SvcSentry::AllServices()), (Shape{{L"Quarn Run-Time", {}},
                                                        {L"Mail Server", {}},
                                                        {L"Kept", {L"First"}},
                                                        {L"Other", {L"Third"}}}));
}

TEST(Catalogue, FailingPackageTypeIsLoggedAtInfo) {
    PackagesSandbox packages;
    packages.setInstalled(L"webmail", L"roundcube");
    packages.createPackages(L"webmail\\roundcube");  // no "services" key
    const bool saved = LogManager::routesToStdout(LogInfo);
    LogManager::setRoutesToStdout(LogInfo, true);
    testing::internal::CaptureStdout();
    const size_t groups = SvcSentry::AllServices().size();
    const std::string output = testing::internal::GetCapturedStdout();
    LogManager::setRoutesToStdout(LogInfo, saved);
    EXPECT_EQ(groups, 3u);
    EXPECT_NE(output.find("RegOpenKeyEx subKey="), std::string::npos) << output;
    EXPECT_NE(output.find("Enum services of package webmail/roundcube(VPackage::getServices line 276)"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("Try show services of webmail(SvcSentry::AllServices line 58)"), std::string::npos)
        << output;
}

TEST(Catalogue, MissingPackagesKeyLeavesAnEmptyCatalogue) {
    PackagesSandbox packages(false);
    try {
        SvcSentry::AllServices();
        ADD_FAILURE() << "no exception";
    } catch (const VFileNotFoundException& error) {
        EXPECT_NE(error.message().find(L"RegOpenKeyEx subKey="), std::wstring::npos);
    }
    packages.createPackages(L"");
    EXPECT_EQ(SvcSentry::AllServices().size(), 3u);
}

}  // namespace
