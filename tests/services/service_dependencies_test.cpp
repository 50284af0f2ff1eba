// Dependencies and dependents as Windows reports them. Wine's manager keeps
// the dependencies given at creation but reports none, so here the two
// configuration calls answer like Windows does (sizes, ERROR_INSUFFICIENT_BUFFER,
// ERROR_MORE_DATA, strings after the records) for a real service.
#include "services/service_manager.h"
#include "services/service_query.h"

#include "diagnostics/exceptions.h"
#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <vector>

using sandboxkit::ScopedService;
using service::ServiceNameList;

namespace {

struct WindowsAnswers {
    std::wstring displayName;
    std::vector<std::wstring> dependencies;
    std::vector<std::optional<std::wstring>> dependents;  // nullopt: an entry without a name
    DWORD error = 0;                                      // fail every call with this code
    std::vector<DWORD> configSizes;                       // buffer sizes the calls were given
    std::vector<DWORD> enumSizes;
    std::vector<DWORD> enumStates;
};
WindowsAnswers g_answers;

size_t bytesOf(const std::wstring& text) { return (text.size() + 1) * sizeof(wchar_t); }

BOOL WINAPI windowsQueryServiceConfig(SC_HANDLE, QUERY_SERVICE_CONFIGW* config, DWORD size, DWORD* needed) {
    g_answers.configSizes.push_back(size);
    if (g_answers.error) {
        ::SetLastError(g_answers.error);
        return FALSE;
    }
    const std::wstring binary = L"C:\\quarn\\bin\\service.exe";
    const std::wstring account = L"LocalSystem";
    std::wstring dependencies;
    for (const auto& entry : g_answers.dependencies) dependencies += entry + L'\0';
    dependencies += L'\0';
    const size_t total = sizeof(QUERY_SERVICE_CONFIGW) + bytesOf(binary) + sizeof(wchar_t) +
                         dependencies.size() * sizeof(wchar_t) + bytesOf(account) + bytesOf(g_answers.displayName);
    if (size < total) {
        *needed = static_cast<DWORD>(total);
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* next = reinterpret_cast<wchar_t*>(config + 1);
    const auto place = [&next](const wchar_t* text, size_t chars) {
        wchar_t* at = next;
        std::memcpy(at, text, chars * sizeof(wchar_t));
        next += chars;
        return at;
    };
    *config = {};
    config->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    config->dwStartType = SERVICE_DEMAND_START;
    config->lpBinaryPathName = place(binary.c_str(), binary.size() + 1);
    config->lpLoadOrderGroup = place(L"", 1);
    config->lpDependencies = place(dependencies.data(), dependencies.size());
    config->lpServiceStartName = place(account.c_str(), account.size() + 1);
    config->lpDisplayName = place(g_answers.displayName.c_str(), g_answers.displayName.size() + 1);
    return TRUE;
}

BOOL WINAPI windowsEnumDependentServices(SC_HANDLE, DWORD state, ENUM_SERVICE_STATUSW* services, DWORD size,
                                         DWORD* needed, DWORD* count) {
    g_answers.enumSizes.push_back(size);
    g_answers.enumStates.push_back(state);
    *count = 0;
    if (g_answers.error) {
        ::SetLastError(g_answers.error);
        return FALSE;
    }
    size_t total = g_answers.dependents.size() * sizeof(ENUM_SERVICE_STATUSW);
    for (const auto& name : g_answers.dependents)
        if (name) total += bytesOf(*name) * 2;  // name and display name
    if (size < total) {
        *needed = static_cast<DWORD>(total);
        ::SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    auto* next = reinterpret_cast<wchar_t*>(services + g_answers.dependents.size());
    for (size_t i = 0; i < g_answers.dependents.size(); ++i) {
        services[i] = {};
        services[i].ServiceStatus.dwCurrentState = SERVICE_RUNNING;
        if (!g_answers.dependents[i]) continue;
        const std::wstring& name = *g_answers.dependents[i];
        for (wchar_t** field : {&services[i].lpServiceName, &services[i].lpDisplayName}) {
            std::memcpy(next, name.c_str(), bytesOf(name));
            *field = next;
            next += name.size() + 1;
        }
    }
    *count = static_cast<DWORD>(g_answers.dependents.size());
    return TRUE;
}

class ServiceDependencies : public ::testing::Test {
protected:
    ServiceDependencies() {
        g_answers = {};
        service_detail::configCalls().queryServiceConfig = windowsQueryServiceConfig;
        service_detail::configCalls().enumDependentServices = windowsEnumDependentServices;
    }
    ~ServiceDependencies() override { service_detail::configCalls() = saved_; }

    ScopedService svc{sandboxkit::uniqueName(L"qsd"), L"Dependent", L""};

private:
    service_detail::ConfigCalls saved_ = service_detail::configCalls();
};

TEST_F(ServiceDependencies, LargeConfigurationIsReadAgainWithTheReportedSize) {
    g_answers.displayName = std::wstring(150, L'D');
    g_answers.dependencies = {L"QuarnBase", L"+QuarnGroup", L"W3SVC"};
    ServiceNameList names{L"kept"};
    service::serviceDependencies(names, svc.name());
    EXPECT_EQ(names, (ServiceNameList{L"kept", L"QuarnBase", L"+QuarnGroup", L"W3SVC"}));
    ASSERT_EQ(g_answers.configSizes.size(), 2u);
    EXPECT_EQ(g_answers.configSizes[0], 260u);
    EXPECT_GT(g_answers.configSizes[1], 260u);
    EXPECT_EQ(service::serviceDisplayName(svc.name()), g_answers.displayName);
}

TEST_F(ServiceDependencies, SmallConfigurationIsReadInOneCall) {
    g_answers.displayName = L"Short";
    ServiceNameList names;
    service::serviceDependencies(names, svc.name());
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(g_answers.configSizes, std::vector<DWORD>{260});
    // No display name configured: an empty one.
    g_answers.displayName.clear();
    EXPECT_EQ(service::serviceDisplayName(svc.name().c_str()), L"");
}

TEST_F(ServiceDependencies, DependentsAreEnumeratedAfterOneRegrowthSkippingNamelessEntries) {
    g_answers.dependents = {L"QuarnMail", std::nullopt, L"QuarnWeb", L"QuarnFtp"};
    ServiceNameList names{L"kept"};
    service::dependentServices(names, svc.name(), SERVICE_ACTIVE);
    EXPECT_EQ(names, (ServiceNameList{L"kept", L"QuarnMail", L"QuarnWeb", L"QuarnFtp"}));
    ASSERT_EQ(g_answers.enumSizes.size(), 2u);
    EXPECT_EQ(g_answers.enumSizes[0], sizeof(ENUM_SERVICE_STATUSW));
    EXPECT_EQ(g_answers.enumStates, (std::vector<DWORD>{SERVICE_ACTIVE, SERVICE_ACTIVE}));
}

TEST_F(ServiceDependencies, FailuresNameTheQueryAndTheService) {
    g_answers.error = ERROR_ACCESS_DENIED;
    ServiceNameList names;
    const auto expectDenied = [&](const wchar_t* where, const char* function, int line,
                                  const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << function << ": no exception";
        } catch (const VAccessDeniedException& error) {
            EXPECT_NE(error.message().find(std::wstring(where) + L" '" + svc.name() + L"'"), std::wstring::npos);
            ASSERT_EQ(error.context().size(), 1u);
            EXPECT_EQ(error.context()[0].function, function);
            EXPECT_EQ(error.context()[0].line, line);
        }
    };
    expectDenied(L"query service config", "service::serviceDisplayName", 800,
                 [&] { service::serviceDisplayName(svc.name()); });
    expectDenied(L"query service config", "service::serviceStartupType", 857,
                 [&] { service::serviceStartupType(svc.name()); });
    expectDenied(L"query service config", "service::serviceDependencies", 888,
                 [&] { service::serviceDependencies(names, svc.name()); });
    expectDenied(L"enum dependent services of service", "service::dependentServices", 917,
                 [&] { service::dependentServices(names, svc.name(), SERVICE_STATE_ALL); });
    EXPECT_TRUE(names.empty());
}

}  // namespace
