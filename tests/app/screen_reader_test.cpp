#include "app/control_dlg.h"

#include "diagnostics/com_ptr.h"
#include "monitor_fixture.h"
#include "packages_fixture.h"
#include "sandbox_kit.h"
#include "ui/tree_accessible.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using sandboxkit::ScopedService;
using testing_support::OpenMonitor;
using testing_support::PackagesSandbox;

namespace {

std::wstring take(BSTR text) {
    std::wstring result = text ? text : L"";
    ::SysFreeString(text);
    return result;
}

// A screen reader asks the dialog's tree for each row: its name is the row's
// text, and its description is the state its picture shows.
TEST(ScreenReader, EachServiceRowTellsItsState) {
    ScopedService running(sandboxkit::uniqueName(L"qsr1"), L"Reader running", L"");
    ScopedService stopped(sandboxkit::uniqueName(L"qsr2"), L"Reader stopped", L"");
    ScopedService disabled(sandboxkit::uniqueName(L"qsr3"), L"Reader disabled", L"", {}, SERVICE_DISABLED);
    sandboxkit::startAndWait(running.name());
    PackagesSandbox packages;
    packages.setInstalled(L"r", L"p");
    for (const ScopedService* service : {&running, &stopped, &disabled})
        packages.addService(L"r", L"p", service->name(), L"Readers");

    ScopedComInitialization com;
    OpenMonitor monitor;
    IAccessible* accessible = nullptr;
    ASSERT_EQ(::AccessibleObjectFromWindow(monitor.tree(), static_cast<DWORD>(OBJID_CLIENT), kIidAccessible,
                                           reinterpret_cast<void**>(&accessible)),
              S_OK);
    std::map<std::wstring, std::wstring> described;
    LONG count = 0;
    accessible->get_accChildCount(&count);
    for (LONG id = 1; id <= count; ++id) {
        VARIANT child;
        ::VariantInit(&child);
        child.vt = VT_I4;
        child.lVal = id;
        BSTR name = nullptr;
        BSTR description = nullptr;
        accessible->get_accName(child, &name);
        accessible->get_accDescription(child, &description);
        described[take(name)] = take(description);
    }
    accessible->Release();
    EXPECT_EQ(described[L"Readers"], L"") << "a group has no state of its own";
    EXPECT_EQ(described[L"Reader running"], L"Started");
    EXPECT_EQ(described[L"Reader stopped"], L"Stopped");
    EXPECT_EQ(described[L"Reader disabled"], L"Disabled");
}

}  // namespace
