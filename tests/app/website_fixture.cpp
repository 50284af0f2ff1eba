#include "website_fixture.h"

#include "sandbox_database.h"
#include "sandbox_kit.h"
#include "sitectl_control.h"

#include <gtest/gtest.h>

namespace testing_support {

DWORD stateOf(const std::wstring& name) { return sandboxkit::queryStatus(name).dwCurrentState; }

void bringTo(const std::wstring& name, DWORD state) {
    if (stateOf(name) == state) return;
    if (state == SERVICE_RUNNING) {
        sandboxkit::startAndWait(name, 10000);
    } else {
        sandboxkit::controlService(name, SERVICE_CONTROL_STOP);
        ASSERT_TRUE(sandboxkit::waitForState(name, SERVICE_STOPPED, 10000));
    }
}

WebsiteSandbox::WebsiteSandbox(DWORD management, DWORD webServer) {
    sandboxkit::clearSitectlRuns();
    bringTo(kManagement, management);
    bringTo(kWebServer, webServer);
}

WebsiteSandbox::~WebsiteSandbox() {
    bringTo(kManagement, SERVICE_RUNNING);
    bringTo(kWebServer, SERVICE_RUNNING);
}

ServiceConfig configOf(const std::wstring& name) {
    ServiceConfig config;
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? ::OpenServiceW(manager, name.c_str(), SERVICE_QUERY_CONFIG) : nullptr;
    DWORD needed = 0;
    if (service && !::QueryServiceConfigW(service, nullptr, 0, &needed) && needed != 0) {
        std::vector<BYTE> buffer(needed);
        auto* data = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (::QueryServiceConfigW(service, data, needed, &needed)) {
            config.binaryPath = data->lpBinaryPathName ? data->lpBinaryPathName : L"";
            config.display = data->lpDisplayName ? data->lpDisplayName : L"";
            config.startType = data->dwStartType;
        }
    }
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
    EXPECT_FALSE(config.binaryPath.empty()) << "no configuration of the service";
    return config;
}

StartRefused::StartRefused(std::wstring name) : name_(std::move(name)), startType_(configOf(name_).startType) {
    sandboxkit::setStartType(name_, SERVICE_DISABLED);
}

StartRefused::~StartRefused() { sandboxkit::setStartType(name_, startType_); }

ServiceAbsent::ServiceAbsent(std::wstring name) : name_(std::move(name)), config_(configOf(name_)) {
    EXPECT_TRUE(sandboxkit::deleteService(name_));
}

ServiceAbsent::~ServiceAbsent() {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service = manager ? sandboxkit::createWhenTheNameIsFree([&] {
        return ::CreateServiceW(manager, name_.c_str(), config_.display.c_str(), SERVICE_ALL_ACCESS,
                                SERVICE_WIN32_OWN_PROCESS, config_.startType, SERVICE_ERROR_NORMAL,
                                config_.binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    })
                                : nullptr;
    EXPECT_NE(service, nullptr) << "service " << std::string(name_.begin(), name_.end()) << " not created again: "
                                << ::GetLastError();
    if (service) ::CloseServiceHandle(service);
    if (manager) ::CloseServiceHandle(manager);
}

std::vector<SeenBox> run(OpenMonitor& monitor, WORD command, std::function<void(const SeenBox&)> atBox) {
    BoxAnswerer boxes(monitor.window(), {IDOK});
    if (atBox) boxes.beforeAnswer(atBox);
    monitor.setStatus(kMarker);
    monitor.command(command);
    return boxes.seen();
}

bool ranWith(const std::wstring& arguments) {
    for (const std::wstring& line : sandboxkit::sitectlRuns())
        if (line.find(arguments) != std::wstring::npos) return true;
    return false;
}

std::unique_ptr<MySQLDatabaseProvider> connectProduct() {
    const auto s = sandboxkit::databaseSettings();
    auto provider = std::make_unique<MySQLDatabaseProvider>();
    provider->connect(s.host, s.database, s.login, s.password, std::stoi(s.port), L"");
    return provider;
}

long long sessionCount(IDatabaseProvider& database) {
    RecordSetRef rows(database.query(L"SELECT COUNT(*) FROM sessions"));
    EXPECT_TRUE(rows->next());
    return std::stoll(rows->getString(0, L"-1", false));
}

SessionsKept::SessionsKept() : database_(connectProduct()) {
    database_->execute(L"DROP TABLE IF EXISTS sessions_kept");
    database_->execute(L"CREATE TABLE sessions_kept AS SELECT * FROM sessions");
}

SessionsKept::~SessionsKept() {
    database_->execute(L"DELETE FROM sessions");
    database_->execute(L"INSERT INTO sessions SELECT * FROM sessions_kept");
    database_->execute(L"DROP TABLE sessions_kept");
}

}  // namespace testing_support
