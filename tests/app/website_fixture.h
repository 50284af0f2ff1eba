// The sandbox of the website and session commands, shared by their tests:
// the real "quarnsrv" and "W3SVC" services, the sitectl stand-in and the
// sandbox's MariaDB server.
#pragma once

#include "database/mysql_database_provider.h"
#include "monitor_fixture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

inline constexpr wchar_t kManagement[] = L"quarnsrv";
inline constexpr wchar_t kWebServer[] = L"W3SVC";
inline constexpr wchar_t kStartCaption[] = L"Start Quarn Control Panel website";
inline constexpr wchar_t kStopCaption[] = L"Stop Quarn Control Panel website";
inline constexpr wchar_t kDeleteCaption[] = L"Delete All Sessions";
// What a command's run puts in the status line before it starts.
inline constexpr wchar_t kMarker[] = L"(not refreshed)";

DWORD stateOf(const std::wstring& name);
// Starts or stops the service and waits for the state.
void bringTo(const std::wstring& name, DWORD state);

// The services in the states a test asks for, and back in the default
// layout's states (both running) afterwards; sitectl's record is empty.
class WebsiteSandbox {
public:
    WebsiteSandbox(DWORD management, DWORD webServer);
    ~WebsiteSandbox();
};

// The service's configuration (binary path, start type, display name) as
// the service manager holds it.
struct ServiceConfig {
    std::wstring binaryPath;
    std::wstring display;
    DWORD startType = 0;
};
ServiceConfig configOf(const std::wstring& name);

// The service cannot be started while the object lives (start type
// disabled); its start type is put back at the end.
class StartRefused {
public:
    explicit StartRefused(std::wstring name);
    ~StartRefused();

private:
    std::wstring name_;
    DWORD startType_;
};

// The service does not exist while the object lives: it is deleted, and
// created again with the same configuration at the end.
class ServiceAbsent {
public:
    explicit ServiceAbsent(std::wstring name);
    ~ServiceAbsent();

private:
    std::wstring name_;
    ServiceConfig config_;
};

// Runs one command of the dialog and returns the boxes it showed.
std::vector<SeenBox> run(OpenMonitor& monitor, WORD command, std::function<void(const SeenBox&)> atBox = nullptr);

// Whether a recorded sitectl run had `arguments` in its command line.
bool ranWith(const std::wstring& arguments);

// A connection of the product login to the sandbox's product database.
std::unique_ptr<MySQLDatabaseProvider> connectProduct();
long long sessionCount(IDatabaseProvider& database);

// The sessions table's rows, put back at the end of the scope.
class SessionsKept {
public:
    SessionsKept();
    ~SessionsKept();
    IDatabaseProvider& database() { return *database_; }

private:
    std::unique_ptr<MySQLDatabaseProvider> database_;
};

}  // namespace testing_support
