// Faults of what lies outside the monitor, with the real dialog open: the
// management service killed, a database server that goes away or never
// answers, services that change behind the dialog's back. Each command must
// come back with a clear box, and the next one must work once the fault is
// gone.
#include <winsock2.h>

#include "app/control_dlg.h"

#include "packages_fixture.h"
#include "product_settings.h"
#include "resource_ids.h"
#include "sandbox_database.h"
#include "sandbox_kit.h"
#include "sitectl_control.h"
#include "test_support.h"
#include "website_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

using namespace testing_support;
using sandboxkit::ScopedService;

namespace {

// The monitor still answers messages.
bool responsive(OpenMonitor& monitor) {
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(monitor.window(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0;
}

// A TCP server of the test's own on 127.0.0.1, one connection at a time.
// Silent: accepts and never reads nor answers. Relay: passes everything on
// to the sandbox's MariaDB server; runs `onAccept` before it connects there,
// and resets both connections (as a dying server does) when the client
// sends `dropOn`.
class TestServer {
public:
    explicit TestServer(int relayPort = 0) : relayPort_(relayPort) {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 4);
        int length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~TestServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::closesocket(listener_);
        ::WSACleanup();
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    void start() { thread_ = std::thread([this] { serve(); }); }
    int port() const { return port_; }
    bool dropped() const { return dropped_; }

    std::function<void()> onAccept;
    std::string dropOn;

private:
    bool readable(SOCKET s, long ms) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval wait{0, ms * 1000};
        return ::select(0, &set, nullptr, nullptr, &wait) == 1;
    }

    static void reset(SOCKET s) {
        linger hard{1, 0};
        ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
        ::closesocket(s);
    }

    void serve() {
        while (!stop_) {
            if (!readable(listener_, 100)) continue;
            const SOCKET client = ::accept(listener_, nullptr, nullptr);
            if (relayPort_ == 0) {
                while (!stop_) ::Sleep(50);
                ::closesocket(client);
                return;
            }
            if (onAccept) onAccept();
            relay(client);
        }
    }

    void relay(SOCKET client) {
        const SOCKET server = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(relayPort_));
        ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        char buffer[65536];
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(client, &set);
            FD_SET(server, &set);
            timeval wait{0, 100000};
            if (::select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
            const bool fromClient = FD_ISSET(client, &set);
            const int n = ::recv(fromClient ? client : server, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            if (fromClient && !dropOn.empty() && std::string(buffer, n).find(dropOn) != std::string::npos) {
                dropped_ = true;
                break;
            }
            ::send(fromClient ? server : client, buffer, n, 0);
        }
        reset(client);
        reset(server);
    }

    int relayPort_;
    int port_ = 0;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<bool> stop_{false};
    std::atomic<bool> dropped_{false};
    std::thread thread_;
};

// The management service tells the monitor that the product database is on
// this port.
class DatabasePort {
public:
    explicit DatabasePort(int port) { settings_.setString(L"MySQL_DB_PORT", std::to_wstring(port)); }

private:
    ProductSettings settings_{L"SOFTWARE\\Quarn Sandbox\\quarnsrv\\Settings"};
};

int sandboxDatabasePort() { return std::stoi(sandboxkit::databaseSettings().port); }

double secondsOf(const std::function<void()>& action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void expectOneBox(const std::vector<SeenBox>& boxes, const wchar_t* caption, const std::wstring& begins) {
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, caption);
    EXPECT_EQ(boxes[0].text.rfind(begins, 0), 0u) << std::string(boxes[0].text.begin(), boxes[0].text.end());
}

// The management service dies as a crashed one does, in the middle of the
// command (sandboxkit::crashManagementService: a process ended from outside
// would stay "running" for good under Wine).
TEST(CommandFaults, ManagementServiceKilledWhileSitectlRuns) {
    WebsiteSandbox sandbox(SERVICE_STOPPED, SERVICE_RUNNING);
    OpenMonitor monitor;
    {
        // What the product's utility does when its management service dies
        // under it: it fails.
        sandboxkit::SitectlControl control;
        control.setNumber(L"wait_ms", 3000);
        control.setNumber(L"exit_code", 1);
        control.setText(L"stdout", L"management service lost");
        std::atomic<bool> crashed{false};
        std::thread killer([&] {
            waitUntil([] { return !sandboxkit::sitectlRuns().empty(); }, 60000);
            crashed = sandboxkit::crashManagementService();
        });
        std::vector<SeenBox> boxes;
        const double seconds = secondsOf([&] { boxes = run(monitor, IDC_START_WEBSITE); });
        killer.join();
        ASSERT_TRUE(crashed);
        expectOneBox(boxes, kStartCaption,
                     L"Execute sitectl --start-quarn-website failed with error code 1: management service lost");
        EXPECT_LT(seconds, 150.0);
        EXPECT_TRUE(responsive(monitor));
    }
    // The command starts the service again itself.
    sandboxkit::clearSitectlRuns();
    expectOneBox(run(monitor, IDC_START_WEBSITE), kStartCaption,
                 L"Quarn Control Panel website was successfully started");
    EXPECT_TRUE(ranWith(L"--start-quarn-website"));
    EXPECT_EQ(stateOf(kManagement), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(CommandFaults, ManagementServiceKilledBetweenSettingsAndConnecting) {
    SessionsKept kept;
    OpenMonitor monitor;
    {
        TestServer relay(sandboxDatabasePort());
        std::atomic<bool> crashed{false};
        relay.onAccept = [&] { crashed = sandboxkit::crashManagementService(); };
        relay.start();
        DatabasePort port(relay.port());
        // The settings were all read before the connection: the statement
        // runs without the service.
        EXPECT_TRUE(run(monitor, IDC_DELETE_SESSIONS).empty());
        ASSERT_TRUE(crashed);
        EXPECT_EQ(sessionCount(kept.database()), 0);
    }
    // While the service is gone its settings cannot be had.
    const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kDeleteCaption);
    EXPECT_NE(boxes[0].text.find(L"Unable to connect to pipe"), std::wstring::npos)
        << std::string(boxes[0].text.begin(), boxes[0].text.end());
    EXPECT_TRUE(responsive(monitor));
    bringTo(kManagement, SERVICE_RUNNING);
    kept.database().execute(L"INSERT INTO sessions (login) VALUES ('again')");
    EXPECT_TRUE(run(monitor, IDC_DELETE_SESSIONS).empty());
    EXPECT_EQ(sessionCount(kept.database()), 0);
}

TEST(CommandFaults, DatabaseServerGoneDuringTheStatement) {
    SessionsKept kept;
    const long long before = sessionCount(kept.database());
    ASSERT_GT(before, 0);
    OpenMonitor monitor;
    {
        TestServer dying(sandboxDatabasePort());
        dying.dropOn = "DELETE FROM sessions";
        dying.start();
        DatabasePort port(dying.port());
        const auto boxes = run(monitor, IDC_DELETE_SESSIONS);
        EXPECT_TRUE(dying.dropped());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, kDeleteCaption);
        EXPECT_NE(boxes[0].text.find(L"Lost connection"), std::wstring::npos)
            << std::string(boxes[0].text.begin(), boxes[0].text.end());
        EXPECT_EQ(sessionCount(kept.database()), before);
    }
    EXPECT_TRUE(run(monitor, IDC_DELETE_SESSIONS).empty());
    EXPECT_EQ(sessionCount(kept.database()), 0);
}

// The connection time-out of the design, at its lowest (60 s), is what
// bounds the wait for a server that never sends its greeting.
TEST(CommandFaults, SlowSilentDatabaseServerBlocksForTheConnectionTimeOut) {
    ProductSettings config;
    config.setDword(L"MySQLConnectionTimeout", 60);
    TestServer silent;
    silent.start();
    DatabasePort port(silent.port());
    OpenMonitor monitor;
    std::vector<SeenBox> boxes;
    const double seconds = secondsOf([&] { boxes = run(monitor, IDC_DELETE_SESSIONS); });
    std::printf("Delete Sessions against a silent server: blocked %.1f s\n", seconds);
    expectOneBox(boxes, kDeleteCaption, L"Failed to connect to database: ");
    EXPECT_GE(seconds, 55.0);
    EXPECT_LT(seconds, 170.0);
}

// A start that never ends is bounded by the wait policy (its test runs half
// an hour of rising check points on a simulated clock); here the web server
// raises its check point for a while and then fails.
TEST(CommandFaults, SlowWebServerPendingThenFailingEndsWithTheBoxBeforeSitectl) {
    WebsiteSandbox sandbox(SERVICE_RUNNING, SERVICE_STOPPED);
    const sandboxkit::ScopedArguments pending(kWebServer, L"--start-delay=4000 --checkpoints=8 --fail-start=1067");
    OpenMonitor monitor;
    const auto boxes = run(monitor, IDC_START_WEBSITE);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, kStartCaption);
    EXPECT_NE(boxes[0].text.find(L"Start service W3SVC"), std::wstring::npos)
        << std::string(boxes[0].text.begin(), boxes[0].text.end());
    EXPECT_TRUE(sandboxkit::sitectlRuns().empty());
}

TEST(CommandFaults, ServicesChangingBehindTheDialogShowOnTheNextRefresh) {
    ScopedService deleted(sandboxkit::uniqueName(L"qfd1"), L"Deleted", L"");
    ScopedService changing(sandboxkit::uniqueName(L"qfd2"), L"Changing", L"");
    ScopedService kept(sandboxkit::uniqueName(L"qfd3"), L"Kept", L"");
    const std::wstring createdName = sandboxkit::uniqueName(L"qfd4");
    PackagesSandbox packages;
    packages.setInstalled(L"t", L"p");
    for (const std::wstring& name : {deleted.name(), changing.name(), kept.name(), createdName})
        packages.addService(L"t", L"p", name, L"Group");
    OpenMonitor monitor;
    BoxAnswerer boxes(monitor.window(), {IDIGNORE});
    for (const TreeItem& item : childrenOf(monitor.tree(), L"Group")) setItemChecked(monitor.tree(), item.handle, true);

    sandboxkit::deleteService(deleted.name());
    sandboxkit::setStartType(changing.name(), SERVICE_DISABLED);
    ScopedService created(createdName, L"Created", L"");
    monitor.command(IDC_REFRESH);

    std::map<std::wstring, TreeItem> shown;
    for (const TreeItem& item : childrenOf(monitor.tree(), L"Group")) shown[item.text] = item;
    EXPECT_EQ(shown.count(L"Deleted"), 0u);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_FALSE(shown[L"Created"].checked);
    EXPECT_EQ(shown[L"Created"].image, 1);
    EXPECT_TRUE(shown[L"Changing"].checked);
    EXPECT_EQ(shown[L"Changing"].image, 2);
    EXPECT_TRUE(shown[L"Kept"].checked);

    // The disabled one is skipped, the kept one starts.
    monitor.command(IDC_START);
    EXPECT_EQ(stateOf(kept.name()), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(stateOf(changing.name()), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(boxes.seen().empty());
}

}  // namespace
