// The sandbox layout tool against the real registry, file system and the
// service control manager of the Wine prefix. Every test uses names of its
// own (a fresh suffix) and removes what it laid out.
#include "layout.h"

#include "diagnostics/handles.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace sandbox::layout;
using testing_support::binDir;

std::wstring uniqueSuffix() {
    GUID guid;
    ::CoCreateGuid(&guid);
    wchar_t text[32];
    swprintf(text, 32, L"%08lx%04x", guid.Data1, guid.Data2);
    return text;
}

// Opens HKLM\path in an explicit view; null when it does not exist.
UniqueRegKey openMachineKey(const std::wstring& path, REGSAM view) {
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return {};
    return key;
}

bool keyExists32(const std::wstring& path) { return bool(openMachineKey(path, KEY_WOW64_32KEY)); }

// The string value, or "<missing>".
std::wstring readString32(const std::wstring& path, const std::wstring& name) {
    UniqueRegKey key = openMachineKey(path, KEY_WOW64_32KEY);
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    DWORD type = 0;
    if (!key || ::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                                   &size) != ERROR_SUCCESS)
        return L"<missing>";
    return buffer;
}

struct ServiceConfig {
    bool exists = false;
    DWORD startType = 0;
    std::wstring displayName;
    std::wstring binary;
    std::vector<std::wstring> dependencies;
    DWORD state = 0;
};

ServiceConfig queryService(const std::wstring& name) {
    ServiceConfig result;
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, ::GetLastError()) << "OpenService " << testing::PrintToString(name);
        return result;
    }
    result.exists = true;
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    EXPECT_TRUE(::QueryServiceConfigW(service.get(), config, needed, &needed));
    result.startType = config->dwStartType;
    result.displayName = config->lpDisplayName ? config->lpDisplayName : L"";
    result.binary = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    // Wine's QueryServiceConfigW never fills lpDependencies; the service
    // control manager keeps them in the service's key.
    UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SYSTEM\\CurrentControlSet\\Services\\" + name).c_str(), 0,
                        KEY_QUERY_VALUE, key.put()) == ERROR_SUCCESS) {
        wchar_t list[1024] = {};
        DWORD size = sizeof(list) - 2 * sizeof(wchar_t);
        if (::RegQueryValueExW(key.get(), L"DependOnService", nullptr, nullptr, reinterpret_cast<BYTE*>(list),
                               &size) == ERROR_SUCCESS)
            for (const wchar_t* item = list; *item; item += wcslen(item) + 1) result.dependencies.emplace_back(item);
    }
    SERVICE_STATUS status{};
    EXPECT_TRUE(::QueryServiceStatus(service.get(), &status));
    result.state = status.dwCurrentState;
    return result;
}

bool folderExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A layout of the test's own, removed at the end of the scope whatever happened.
class ScopedLayout {
public:
    explicit ScopedLayout(const std::wstring& text, ApplyOptions options = {})
        : layout_(parseLayout(text)), options_(options) {}
    ~ScopedLayout() {
        try {
            removeLayout(layout_, options_);
        } catch (const LayoutError& error) {
            ADD_FAILURE() << "removeLayout: " << error.what();
        }
    }
    void apply() { applyLayout(layout_, options_); }
    void remove() { removeLayout(layout_, options_); }
    void reload(const std::wstring& text) { layout_ = parseLayout(text); }
    const Layout& layout() const { return layout_; }

private:
    Layout layout_;
    ApplyOptions options_;
};

std::wstring packagesPath(const std::wstring& rest) { return std::wstring(kPackagesKey) + L"\\" + rest; }

TEST(LayoutTest, AppliedThenRemovedLeavesNoKeysServicesOrFolders) {
    const std::wstring id = uniqueSuffix();
    testing_support::ScratchDir scratch;
    const std::wstring root = L"SOFTWARE\\QuarnLayoutTest-" + id;
    const std::wstring folder = scratch.path() + L"\\product\\admin\\logs";
    std::ofstream(std::filesystem::path(scratch.path() + L"\\keep.txt")) << "x";
    ScopedLayout layout(L"[key " + root + L"\\Config]\n"
                        L"Name = text\n"
                        L"Count = dword:0x10\n"
                        L"[folders]\n" + folder + L"\n"
                        L"[type t" + id + L"]\n"
                        L"installed = pkg\n"
                        L"[service t" + id + L"/pkg/S1-" + id + L"]\n"
                        L"Group = Mail Server\n"
                        L"[type u" + id + L"]\n"
                        L"[package u" + id + L"/other]\n"
                        L"services = no\n"
                        L"[winservice S1-" + id + L"]\n"
                        L"binary = testsvc.exe\n"
                        L"[winservice S2-" + id + L"]\n"
                        L"binary = testsvc.exe\n"
                        L"depends = S1-" + id + L"\n");
    layout.apply();
    EXPECT_EQ(L"text", readString32(root + L"\\Config", L"Name"));
    EXPECT_EQ(L"pkg", readString32(packagesPath(L"t" + id), L""));
    EXPECT_EQ(L"Mail Server", readString32(packagesPath(L"t" + id + L"\\pkg\\services\\S1-" + id), L"Group"));
    EXPECT_EQ(L"<missing>", readString32(packagesPath(L"u" + id), L""));
    EXPECT_TRUE(keyExists32(packagesPath(L"u" + id + L"\\other")));
    EXPECT_FALSE(keyExists32(packagesPath(L"u" + id + L"\\other\\services")));
    EXPECT_TRUE(folderExists(folder));
    EXPECT_TRUE(queryService(L"S1-" + id).exists);
    EXPECT_TRUE(queryService(L"S2-" + id).exists);

    layout.remove();
    EXPECT_FALSE(keyExists32(root));  // the emptied parent goes too
    EXPECT_FALSE(keyExists32(packagesPath(L"t" + id)));
    EXPECT_FALSE(keyExists32(packagesPath(L"u" + id)));
    EXPECT_FALSE(folderExists(scratch.path() + L"\\product"));
    EXPECT_TRUE(folderExists(scratch.path()));  // not empty before the layout: kept
    EXPECT_FALSE(queryService(L"S1-" + id).exists);
    EXPECT_FALSE(queryService(L"S2-" + id).exists);

    layout.remove();  // what is gone already is skipped
}

TEST(LayoutTest, RemovingKeepsValuesAndKeysTheLayoutDoesNotName) {
    const std::wstring id = uniqueSuffix();
    const std::wstring path = L"SOFTWARE\\QuarnLayoutTest-" + id;
    ScopedLayout other(L"[key " + path + L"]\nKept = yes\n[type t" + id + L"]\ninstalled = p\n");
    other.apply();
    {
        ScopedLayout layout(L"[key " + path + L"]\nOwn = 1\n[service t" + id + L"/p/Extra]\nGroup = g\n");
        layout.apply();
        layout.remove();
    }
    EXPECT_EQ(L"yes", readString32(path, L"Kept"));
    EXPECT_EQ(L"<missing>", readString32(path, L"Own"));
    EXPECT_EQ(L"p", readString32(packagesPath(L"t" + id), L""));
    EXPECT_FALSE(keyExists32(packagesPath(L"t" + id + L"\\p")));
}

TEST(LayoutTest, KeysLandInTheThirtyTwoBitView) {
    const std::wstring id = uniqueSuffix();
    ScopedLayout layout(L"[key HKLM\\SOFTWARE\\QuarnLayoutTest-" + id + L"]\nValue = dword:7\n");
    layout.apply();
    UniqueRegKey redirected = openMachineKey(L"SOFTWARE\\Wow6432Node\\QuarnLayoutTest-" + id, KEY_WOW64_64KEY);
    ASSERT_TRUE(redirected);
    DWORD value = 0, size = sizeof(value), type = 0;
    EXPECT_EQ(ERROR_SUCCESS,
              ::RegQueryValueExW(redirected.get(), L"Value", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(REG_DWORD, type);
    EXPECT_EQ(7u, value);
    EXPECT_FALSE(openMachineKey(L"SOFTWARE\\QuarnLayoutTest-" + id, KEY_WOW64_64KEY));
}

TEST(LayoutTest, ServicesAreRegisteredAsDeclared) {
    const std::wstring id = uniqueSuffix();
    ScopedLayout layout(L"[winservice A-" + id + L"]\nbinary = testsvc.exe\ndisplay = Service A\nstart = auto\n"
                        L"[winservice B-" + id + L"]\nbinary = testsvc.exe --fail-start=5\ndepends = A-" + id + L"\n"
                        L"[winservice C-" + id + L"]\nbinary = \"Z:\\some where\\x.exe\" --y\nstart = disabled\n"
                        L"depends = B-" + id + L", A-" + id + L"\n");
    layout.apply();
    const ServiceConfig a = queryService(L"A-" + id);
    EXPECT_EQ(L"Service A", a.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), a.startType);
    EXPECT_TRUE(a.dependencies.empty());
    EXPECT_EQ(L"\"" + binDir() + L"\\testsvc.exe\"", a.binary);

    const ServiceConfig b = queryService(L"B-" + id);
    EXPECT_EQ(L"B-" + id, b.displayName);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), b.startType);
    EXPECT_EQ(std::vector<std::wstring>{L"A-" + id}, b.dependencies);
    EXPECT_EQ(L"\"" + binDir() + L"\\testsvc.exe\" --fail-start=5", b.binary);

    const ServiceConfig c = queryService(L"C-" + id);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), c.startType);
    EXPECT_EQ((std::vector<std::wstring>{L"B-" + id, L"A-" + id}), c.dependencies);
    EXPECT_EQ(L"\"Z:\\some where\\x.exe\" --y", c.binary);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), c.state);
}

TEST(LayoutTest, ApplyingAgainUpdatesInPlace) {
    const std::wstring id = uniqueSuffix();
    const std::wstring type = L"t" + id;
    ScopedLayout layout(L"[type " + type + L"]\ninstalled = p\n[service " + type + L"/p/S-" + id +
                        L"]\nGroup = one\n[winservice S-" + id + L"]\nbinary = testsvc.exe\n"
                        L"[winservice D-" + id + L"]\nbinary = testsvc.exe\ndepends = S-" + id + L"\n");
    layout.apply();
    layout.reload(L"[type " + type + L"]\n[package " + type + L"/p]\nservices = no\n[winservice S-" + id +
                  L"]\nbinary = testsvc.exe\ndisplay = Renamed\n[winservice D-" + id + L"]\nbinary = testsvc.exe\n");
    layout.apply();
    EXPECT_EQ(L"<missing>", readString32(packagesPath(type), L""));
    EXPECT_TRUE(keyExists32(packagesPath(type + L"\\p")));
    EXPECT_FALSE(keyExists32(packagesPath(type + L"\\p\\services")));
    EXPECT_EQ(L"Renamed", queryService(L"S-" + id).displayName);
    EXPECT_TRUE(queryService(L"D-" + id).dependencies.empty());
}

TEST(LayoutTest, SyntaxErrorsNameTheLine) {
    const struct {
        const wchar_t* text;
        const wchar_t* message;
    } cases[] = {
        {L"# c\n[bogus]\n", L"line 2: unknown section [bogus]"},
        {L"[config]\nDebug = dword:12x\n", L"line 2: '12x' is not a 32-bit number"},
        {L"[config]\nDebug = dword:4294967296\n", L"line 2: '4294967296' is not a 32-bit number"},
        {L"[config]\n\nno equals sign\n", L"line 3: expected 'name = value'"},
        {L"Debug = 1\n", L"line 1: a setting before the first section"},
        {L"[service a/b]\n", L"line 1: section [service] needs TYPE/PACKAGE/SERVICE"},
        {L"[winservice x]\nstart = sometimes\n", L"line 2: 'start' is auto, demand or disabled"},
        {L"[winservice]\n", L"line 1: section [winservice] needs a name"},
        {L"[type t]\ninstalled = a\ninstalled = b\n", L"line 3: 'installed' given twice"},
    };
    for (const auto& c : cases) {
        try {
            parseLayout(c.text);
            ADD_FAILURE() << "no error for " << testing::PrintToString(std::wstring(c.text));
        } catch (const LayoutError& error) {
            EXPECT_EQ(std::wstring(c.message), error.text());
        }
    }
}

TEST(LayoutTest, ValueSyntax) {
    const Layout layout = parseLayout(L"\xFEFF[config]\r\n@ = default\r\nA = expand:%TEMP%\\x\r\n"
                                      L"B = sz:dword:1\r\nC = dword:0xFFFFFFFF\r\nD =\r\n");
    ASSERT_EQ(1u, layout.keys.size());
    EXPECT_EQ(std::wstring(kConfigKey), layout.keys[0].path);
    const std::vector<Value>& values = layout.keys[0].values;
    ASSERT_EQ(5u, values.size());
    EXPECT_EQ(L"", values[0].name);
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), values[1].type);
    EXPECT_EQ(L"%TEMP%\\x", values[1].text);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), values[2].type);
    EXPECT_EQ(L"dword:1", values[2].text);
    EXPECT_EQ(0xFFFFFFFFu, values[3].number);
    EXPECT_EQ(L"", values[4].text);
}

TEST(LayoutTest, ToolExitCodes) {
    testing_support::ScratchDir scratch;
    const std::wstring tool = L"\"" + binDir() + L"\\quarnlayout.exe\"";
    const std::wstring bad = scratch.path() + L"\\bad.layout";
    std::ofstream(std::filesystem::path(bad)) << "[config]\nDebug = dword:x\n";
    EXPECT_EQ(2, testing_support::runProcess(tool));
    EXPECT_EQ(1, testing_support::runProcess(tool + L" \"" + bad + L"\""));
    EXPECT_EQ(1, testing_support::runProcess(tool + L" \"" + scratch.path() + L"\\missing.layout\""));

    const std::wstring id = uniqueSuffix();
    const std::wstring good = scratch.path() + L"\\good.layout";
    std::ofstream(std::filesystem::path(good)) << "[key SOFTWARE\\QuarnLayoutTest-" << std::string(id.begin(), id.end()) << "]\nA = b\n";
    EXPECT_EQ(0, testing_support::runProcess(tool + L" \"" + good + L"\""));
    EXPECT_EQ(L"b", readString32(L"SOFTWARE\\QuarnLayoutTest-" + id, L"A"));
    EXPECT_EQ(0, testing_support::runProcess(tool + L" --remove \"" + good + L"\""));
    EXPECT_FALSE(keyExists32(L"SOFTWARE\\QuarnLayoutTest-" + id));
}

TEST(LayoutTest, StartsDependenciesFirstAndReportsAFailedStart) {
    const std::wstring id = uniqueSuffix();
    // Wine's service manager starts no dependencies by itself: the tool does.
    ScopedLayout layout(L"[winservice A-" + id + L"]\nbinary = testsvc.exe\n"
                        L"[winservice B-" + id + L"]\nbinary = testsvc.exe\ndepends = A-" + id + L"\n"
                        L"[winservice C-" + id + L"]\nbinary = testsvc.exe\ndepends = B-" + id + L"\nstate = running\n");
    layout.apply();
    for (const wchar_t* name : {L"A-", L"B-", L"C-"})
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), queryService(name + id).state) << name;

    ScopedLayout failing(L"[winservice F-" + id + L"]\nbinary = testsvc.exe --fail-start=1064\nstate = running\n");
    try {
        failing.apply();
        ADD_FAILURE() << "a service that fails to start was reported as started";
    } catch (const LayoutError& error) {
        EXPECT_NE(std::wstring::npos, error.text().find(L"'F-" + id + L"'")) << error.what();
    }

    layout.remove();  // stops C before B before A
    for (const wchar_t* name : {L"A-", L"B-", L"C-"}) EXPECT_FALSE(queryService(name + id).exists) << name;
}

TEST(LayoutTest, RemovalTerminatesAServiceThatIgnoresStop) {
    const std::wstring id = uniqueSuffix();
    const std::wstring name = L"I-" + id;
    ApplyOptions options;
    options.stopGraceMs = 300;
    ScopedLayout layout(L"[winservice " + name + L"]\nbinary = testsvc.exe --ignore-stop\nstate = running\n", options);
    layout.apply();

    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | DELETE));
    ASSERT_TRUE(service);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                       sizeof(status), &needed));
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
    ASSERT_TRUE(process);

    layout.remove();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(process.get(), 0));
    // Gone, or (under Wine, whose service manager misses the end of the
    // process) marked for deletion.
    EXPECT_FALSE(::DeleteService(service.get()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), ::GetLastError());
}

// The shared sandbox server: applying the shipped layout (again) gives the
// server the tests and the demo rely on. It is left in place.
TEST(LayoutTest, DefaultServerIsLaidOutAsDocumented) {
    const Layout layout = loadLayout(binDir() + L"\\quarn-server.layout");
    applyLayout(layout);

    EXPECT_EQ(L"C:\\Quarn\\", readString32(std::wstring(kConfigKey), L"PRODUCT_ROOT_D"));
    EXPECT_TRUE(folderExists(L"C:\\Quarn\\admin\\logs"));
    EXPECT_TRUE(folderExists(L"C:\\Quarn\\etc\\crashdumps"));
    EXPECT_EQ(L"quarncore", readString32(packagesPath(L"core"), L""));
    EXPECT_EQ(L"<missing>", readString32(packagesPath(L"antivirus"), L""));
    EXPECT_TRUE(keyExists32(packagesPath(L"webmail\\roundcube")));
    EXPECT_FALSE(keyExists32(packagesPath(L"webmail\\roundcube\\services")));
    EXPECT_EQ(L"Hidden", readString32(packagesPath(L"core\\quarncore\\services\\QuarnUpdater"), L"Group"));

    // Listed by its package, unknown to the service manager.
    EXPECT_TRUE(keyExists32(packagesPath(L"mailserver\\quarnmail\\services\\QuarnImap")));
    EXPECT_FALSE(queryService(L"QuarnImap").exists);

    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), queryService(L"quarnsrv").state);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), queryService(L"W3SVC").state);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), queryService(L"QuarnSpamFilter").state);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), queryService(L"QuarnLicense").startType);
    EXPECT_EQ(L"Quarn Management Service", queryService(L"quarnsrv").displayName);
    EXPECT_EQ(std::vector<std::wstring>{L"QuarnSched"}, queryService(L"QuarnSync").dependencies);
    EXPECT_EQ(std::vector<std::wstring>{L"quarnsrv"}, queryService(L"QuarnSched").dependencies);
}

}  // namespace
