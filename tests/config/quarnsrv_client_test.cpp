// The product configuration as the sandbox's management service answers it:
// the real "quarnsrv" service and its store of values and passwords.
#include "config/product_configuration.h"
#include "config/quarnsrv_client.h"

#include "sandbox_kit.h"

#include <gtest/gtest.h>

#include <thread>

#include "product_settings.h"
#include "test_support.h"

namespace {

const wchar_t kStoreSettings[] = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings";
const wchar_t kStorePasswords[] = L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Passwords";

std::wstring fullError(const std::function<void()>& call) {
    try {
        call();
    } catch (const vexception& error) {
        return error.fullText();
    }
    ADD_FAILURE() << "no error";
    return {};
}

// Stops the management service for a scope; it runs again afterwards.
class ServiceStopped {
public:
    ServiceStopped() { stop(); }
    ~ServiceStopped() { start(); }
    static void stop() {
        sandboxkit::controlService(QuarnSrvClient::kServiceName, SERVICE_CONTROL_STOP);
        EXPECT_TRUE(sandboxkit::waitForState(QuarnSrvClient::kServiceName, SERVICE_STOPPED, 10000));
    }
    static void start() {
        if (sandboxkit::queryStatus(QuarnSrvClient::kServiceName).dwCurrentState != SERVICE_RUNNING)
            sandboxkit::startAndWait(QuarnSrvClient::kServiceName, 10000);
    }
};

}  // namespace

TEST(QuarnSrvClient, AnswersFromTheServicesStore) {
    testing_support::ProductSettings settings(kStoreSettings);
    testing_support::ProductSettings passwords(kStorePasswords);
    settings.setString(L"MySQL_DB_HOST", L"db.example");
    settings.setString(L"MySQL_DB_PORT", L"3307");
    settings.setString(L"QUARN_DATABASE_LOGIN", L"panel");
    settings.setString(L"mySQLDBName", L"panel_db");
    settings.setString(L"QUARN_DATABASE_PROVIDER_NAME", L"MySQL");
    passwords.setString(L"pwd", L"s3cr\u00e9t");

    EXPECT_EQ(getDbHost(), L"db.example");
    EXPECT_EQ(getDbPort(), L"3307");
    EXPECT_EQ(getDbLogin(), L"panel");
    EXPECT_EQ(getDbName(), L"panel_db");
    EXPECT_EQ(getDbProviderName(), L"MySQL");
    EXPECT_EQ(getDbPassword(), L"s3cr\u00e9t");

    // Read at every call, except the product root.
    settings.setString(L"MySQL_DB_HOST", L"other.example");
    EXPECT_EQ(getDbHost(), L"other.example");
}

TEST(QuarnSrvClient, ProductRootIsCanonicalAndKept) {
    testing_support::ProductSettings settings(kStoreSettings);
    settings.setString(L"PRODUCT_ROOT_D", L"D:/panel/");
    EXPECT_EQ(getProductRoot(), L"D:\\panel");
    EXPECT_EQ(getAdminDir(), L"D:\\panel\\admin");
    EXPECT_EQ(getAdminBinDir(), L"D:\\panel\\admin\\bin");
    EXPECT_EQ(getAdminBin64Dir(), L"D:\\panel\\admin\\bin64");
    settings.setString(L"PRODUCT_ROOT_D", L"E:\\elsewhere");
    EXPECT_EQ(getProductRoot(), L"D:\\panel");
}

// An answer that leaves no folder fails like a missing value, and nothing is
// kept: the utility folders never become relative paths.
TEST(QuarnSrvClient, AnEmptyProductRootIsRefusedLikeAMissingOne) {
    testing_support::ProductSettings settings(kStoreSettings);
    for (const wchar_t* empty : {L"", L"\\", L"."}) {
        settings.setString(L"PRODUCT_ROOT_D", empty);
        const std::wstring text = fullError([] { getAdminBin64Dir(); });
        EXPECT_EQ(text.find(L"PRODUCT_ROOT_D is empty"), 0u) << text;
    }
    settings.remove(L"PRODUCT_ROOT_D");
    EXPECT_THROW(getAdminBinDir(), vexception);
    settings.setString(L"PRODUCT_ROOT_D", L"D:\\panel");
    EXPECT_EQ(getAdminBinDir(), L"D:\\panel\\admin\\bin");
}

TEST(QuarnSrvClient, ServiceErrorsCarryTheirContext) {
    const std::wstring text = fullError([] { QuarnSrvClient::getInstance().getString(L"NoSuchValue"); });
    EXPECT_EQ(text.find(L"quarnsrv: no value named 'NoSuchValue'"), 0u) << text;
    EXPECT_NE(text.find(L"at getString(NoSuchValue)(QuarnSrvClient::getString line 241)"), std::wstring::npos)
        << text;

    const std::wstring password = fullError([] { QuarnSrvClient::getInstance().getPassword(L"nokey"); });
    EXPECT_NE(password.find(L"at getPassword('nokey')(QuarnSrvClient::getPassword line 218)"), std::wstring::npos)
        << password;
    // A missing value of the store has no default of its own: the getter's
    // default stands in.
    testing_support::ProductSettings settings(kStoreSettings);
    settings.remove(L"mySQLDBName");
    EXPECT_EQ(getDbName(), L"zrt");
}

TEST(QuarnSrvClient, PipeNameDefaultsToZrtpipe) {
    testing_support::ProductSettings config;
    config.remove(L"zrtpipe");
    EXPECT_EQ(QuarnSrvClient::getInstance().pipePath(), L"\\\\.\\pipe\\zrtpipe");
    EXPECT_FALSE(QuarnSrvClient::getInstance().getString(L"PRODUCT_ROOT_D").empty());
}

TEST(QuarnSrvClient, WithTheServiceStoppedDefaultsApplyAndTheRootWaits) {
    {
        ServiceStopped stopped;
        EXPECT_EQ(getDbHost(), L"localhost");
        EXPECT_EQ(getDbLogin(), L"admin");
        EXPECT_EQ(getDbName(), L"zrt");
        EXPECT_EQ(getDbPort(), L"8306");
        EXPECT_EQ(getDbProviderName(), L"MySQL");
        const std::wstring password = fullError([] { getDbPassword(); });
        EXPECT_NE(password.find(L"Unable to connect to pipe \\\\.\\pipe\\zrtpipe"), std::wstring::npos) << password;
        EXPECT_NE(password.find(L"QuarnSrvClient::getInstance line 344"), std::wstring::npos) << password;
        EXPECT_THROW(getProductRoot(), vexception);
        EXPECT_THROW(getAdminBinDir(), vexception);
    }
    // A failed first answer is not kept: the service answers now.
    EXPECT_EQ(getProductRoot(), L"C:\\Quarn");
}

// The service restarted between two calls: the second call finds the old
// pipe dead and succeeds over a new one, and says so in the log.
TEST(QuarnSrvClient, ServiceRestartBetweenTwoCalls) {
    QuarnSrvClient& client = QuarnSrvClient::getInstance();
    EXPECT_EQ(client.getString(L"PRODUCT_ROOT_D"), L"C:\\Quarn\\");
    ServiceStopped::stop();
    ServiceStopped::start();
    EXPECT_EQ(client.getString(L"PRODUCT_ROOT_D"), L"C:\\Quarn\\");

    const std::wstring text = testing_support::debugLogText();
    const std::wstring pid = L" " + std::to_wstring(::GetCurrentProcessId()) + L" ";
    const size_t warning = text.find(pid);
    ASSERT_NE(warning, std::wstring::npos);
    EXPECT_NE(text.find(L"Warning: Connection to Quarn Management Service is broken: Pipe is finished", warning),
              std::wstring::npos);
    EXPECT_NE(text.find(L"Info: Quarn Management service pipe communication error: Pipe is finished. Trying to "
                        L"reconnect.",
                        warning),
              std::wstring::npos);
}

// Whoever serves a pipe of the configured name is not trusted unless it is
// the running "quarnsrv" service.
TEST(QuarnSrvClient, RefusesAPipeServedByAnotherProcess) {
    const std::wstring name = sandboxkit::uniqueName(L"quarn-impostor-");
    HANDLE impostor = testing_support::startProcess(L"\"" + testing_support::binDir() +
                                                    L"\\quarnsrv.exe\" --console --pipe=" + name);
    ASSERT_NE(impostor, nullptr);
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    // The pipe exists once a wait on it no longer reports it missing.
    EXPECT_TRUE(testing_support::waitUntil(
        [&] { return ::WaitNamedPipeW(path.c_str(), 0) || ::GetLastError() != ERROR_FILE_NOT_FOUND; }, 10000));
    testing_support::ProductSettings config;
    config.setString(L"zrtpipe", name);

    const std::wstring text = fullError([] { QuarnSrvClient::getInstance(); });
    const std::wstring expected = L"The pipe " + path + L" is served by process " +
                                  std::to_wstring(::GetProcessId(impostor)) +
                                  L", not by the Quarn Management Service \"quarnsrv\"";
    EXPECT_EQ(text.find(expected), 0u) << text;
    EXPECT_EQ(getDbHost(), L"localhost");
    EXPECT_THROW(getProductRoot(), vexception);

    ::TerminateProcess(impostor, 0);
    ::WaitForSingleObject(impostor, 5000);
    ::CloseHandle(impostor);
}

TEST(QuarnSrvClient, ThreadsAskingFirstShareOneInstance) {
    std::vector<QuarnSrvClient*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = &QuarnSrvClient::getInstance(); });
    for (auto& thread : threads) thread.join();
    for (QuarnSrvClient* client : seen) EXPECT_EQ(client, seen[0]);
}
