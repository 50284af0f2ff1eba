#include "config/package.h"

#include "../app/packages_fixture.h"
#include "diagnostics/exceptions.h"

#include <gtest/gtest.h>

using testing_support::PackagesSandbox;

namespace {

std::list<std::wstring> servicesOf(const std::wstring& type, const std::wstring& package) {
    std::list<std::wstring> names;
    VPackage::getServices(type, package, names);
    return names;
}

TEST(Package, TypesInstalledPackagesAndServicesInIndexOrder) {
    PackagesSandbox packages;
    packages.setInstalled(L"mail", L"mailenable");
    packages.addService(L"mail", L"mailenable", L"MESMTPCS", L"Mail Server");
    packages.addService(L"mail", L"mailenable", L"MEPOPS");
    packages.setInstalled(L"dns", L"");
    packages.createPackages(L"web");

    std::list<std::wstring> types{L"kept"};
    VPackage::getPackageTypes(types);
    EXPECT_EQ(types, (std::list<std::wstring>{L"kept", L"dns", L"mail", L"web"}));

    EXPECT_EQ(VPackage::getInstalledPackage(L"mail"), L"mailenable");
    EXPECT_EQ(VPackage::getInstalledPackage(L"dns"), L"");
    EXPECT_EQ(VPackage::getInstalledPackage(L"web"), L"");  // no default value
    EXPECT_EQ(VPackage::getInstalledPackage(L"absent"), L"");

    EXPECT_EQ(servicesOf(L"mail", L"mailenable"), (std::list<std::wstring>{L"MEPOPS", L"MESMTPCS"}));

    std::wstring group = L"untouched";
    EXPECT_EQ(VPackage::getServiceValue(L"mail", L"mailenable", L"MESMTPCS", L"Group", group), 0u);
    EXPECT_EQ(group, L"Mail Server");
    group = L"untouched";
    EXPECT_EQ(VPackage::getServiceValue(L"mail", L"mailenable", L"MEPOPS", L"Group", group), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(group, L"untouched");
    EXPECT_EQ(VPackage::getServiceValue(L"mail", L"other", L"MEPOPS", L"Group", group), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(Package, MissingPackagesKeyRaisesTheOpenError) {
    PackagesSandbox packages(false);
    std::list<std::wstring> types;
    try {
        VPackage::getPackageTypes(types);
        ADD_FAILURE() << "no exception";
    } catch (const VFileNotFoundException& error) {
        EXPECT_NE(error.fullText().find(L"RegOpenKeyEx subKey=SOFTWARE\\Quarn\\ZRT Config\\Config\\Packages"),
                  std::wstring::npos);
        EXPECT_NE(error.fullText().find(L"registry::open"), std::wstring::npos);
    }
    EXPECT_TRUE(types.empty());
}

TEST(Package, WindowsFirewallPackageOwnsNoServices) {
    PackagesSandbox packages;
    packages.addService(L"FireWall", L"WinFW", L"MpsSvc");
    packages.addService(L"firewall", L"other", L"fwsvc");
    EXPECT_TRUE(servicesOf(L"FireWall", L"WinFW").empty());
    EXPECT_TRUE(servicesOf(L"firewall", L"winfw").empty());
    EXPECT_EQ(servicesOf(L"firewall", L"other"), std::list<std::wstring>{L"fwsvc"});
}

TEST(Package, PackageWithoutServicesKeyRaisesWrappedError) {
    PackagesSandbox packages;
    packages.createPackages(L"web\\iis");
    packages.createPackages(L"dns\\bind\\services");
    EXPECT_TRUE(servicesOf(L"dns", L"bind").empty());
    std::list<std::wstring> names;
    try {
        VPackage::getServices(L"web", L"iis", names);
        ADD_FAILURE() << "no exception";
    } catch (const vosexception&) {
        ADD_FAILURE() << "the subclass must not pass the wrapping";
    } catch (const vexception& error) {
        const std::wstring text = error.fullText();
        EXPECT_NE(text.find(L"RegOpenKeyEx subKey="), std::wstring::npos) << text;
        EXPECT_NE(text.find(L"at Enum services of package web/iis(VPackage::getServices line 276)"),
                  std::wstring::npos)
            << text;
    }
    EXPECT_TRUE(names.empty());
}

TEST(Package, GroupValueTypes) {
    PackagesSandbox packages;
    ::SetEnvironmentVariableW(L"QUARN_PKG_TEST_GROUP", L"Expanded group");
    packages.addService(L"t", L"p", L"expand", L"%QUARN_PKG_TEST_GROUP%", REG_EXPAND_SZ);
    packages.addService(L"t", L"p", L"number");
    packages.setNumber(L"t\\p\\services\\number", L"Group", 7);

    std::wstring group;
    EXPECT_EQ(VPackage::getServiceValue(L"t", L"p", L"expand", L"Group", group), 0u);
    EXPECT_EQ(group, L"Expanded group");
    try {
        VPackage::getServiceValue(L"t", L"p", L"number", L"Group", group);
        ADD_FAILURE() << "no exception";
    } catch (const vexception& error) {
        EXPECT_NE(error.message().find(L"RegQueryValueEx invalid type of '"), std::wstring::npos);
    }

    packages.setNumber(L"t", L"", 1);
    EXPECT_THROW(VPackage::getInstalledPackage(L"t"), vexception);
}

}  // namespace
