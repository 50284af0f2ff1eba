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
