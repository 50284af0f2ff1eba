// What the installer package changes on the machine, read back through the
// platform: msiexec runs, the uninstall entries, the related products of the
// upgrade code, registry values, shortcuts and folder trees.
#pragma once

#include "diagnostics/win32.h"

#include <optional>
#include <string>
#include <vector>

namespace installer_test {

// The package's upgrade code. It must never change: installed copies are
// found and replaced through it.
inline constexpr wchar_t kUpgradeCode[] = L"{32518C88-F309-41A8-BECD-EC2A58A862A3}";
// The product name: the uninstall entry, the shortcut and the Run value.
inline constexpr wchar_t kProductName[] = L"Quarn Services Monitor";
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// The registry view the package's machine values land in: the tests of each
// build install the package of its own bitness (x64 or x86).
inline constexpr REGSAM kPackageView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;

// The version of the packages built with this tree, and of the "newer" one.
inline const std::wstring kVersion = L"" QUARN_PACKAGE_VERSION;
inline const std::wstring kNewerVersion = L"" QUARN_NEWER_PACKAGE_VERSION;

// A package built for the tests: "current.msi", "rebuilt.msi" or "newer.msi".
std::wstring packagePath(const std::wstring& name);

// Runs "msiexec <arguments> /qn" and returns its exit code (-1 when it did not end).
long msiexec(const std::wstring& arguments);

// "C:\Program Files\Quarn\Services Monitor" for the x64 package, the same
// under "C:\Program Files (x86)" for the x86 one.
std::wstring installFolder();

// The same folder under the other program files folder: where the package of
// the other architecture installs.
std::wstring otherArchInstallFolder();

// The installed program, in installFolder().
std::wstring program();

// Installs a package of packagePath (msiexec /i); its exit code.
long install(const std::wstring& package);

// Whether two paths name the same file, as Windows compares them.
bool samePath(const std::wstring& a, const std::wstring& b);

// The uninstall entries (the package's view) whose DisplayName is the product name.
struct UninstallEntry {
    std::wstring key;
    std::wstring displayVersion;
    std::wstring publisher;
};
std::vector<UninstallEntry> uninstallEntries();

// The product codes installed under the upgrade code.
std::vector<std::wstring> relatedProducts();

// Removes every installed product of the upgrade code (msiexec /x).
void removeEveryInstallation();

// A string value under HKLM in `view`, or nothing when it is missing.
std::optional<std::wstring> machineValue(const std::wstring& key, const std::wstring& name,
                                         REGSAM view = kPackageView);

// The Start menu shortcut named after the product, or empty when there is
// none. Looks in the common Programs folder first: that is where Windows puts
// a per-machine package's shortcuts (Wine's installer uses the user's).
std::wstring findShortcut();
// The target path of a shell link.
std::wstring shortcutTarget(const std::wstring& link);

// "major.minor.patch" of a program's version resource, empty without one.
std::wstring fileVersion(const std::wstring& program);

// Every subkey and value below HKLM\`key` in `view` (KEY_WOW64_32KEY or
// KEY_WOW64_64KEY) as text, one line each; empty when the key is missing.
std::wstring keySnapshot(const std::wstring& key, REGSAM view);
// Every file and folder below `folder` with its size, one line each; empty
// when the folder is missing.
std::wstring folderSnapshot(const std::wstring& folder);

bool fileExists(const std::wstring& path);

// A product's version as Windows Installer records it ("major.minor.patch"),
// empty when it is not installed.
std::wstring productVersion(const std::wstring& productCode);

// Runs "msiexec <arguments> /qn" with a verbose log and returns its exit code;
// `log` receives the log's text (its UTF-16 or ANSI bytes with the zero
// bytes taken out).
long msiexecLogged(const std::wstring& arguments, std::string& log);
// The standard and custom actions a log shows started, in order.
std::vector<std::string> startedActions(const std::string& log);

// A running svcsentry.exe process and its program file.
struct MonitorProcess {
    DWORD processId = 0;
    std::wstring program;
};
std::vector<MonitorProcess> monitorProcesses();

// True while the notification area holds the icon that the monitor's dialog
// `window` added (the icon id is the monitor's, 1). The window may be gone:
// an icon of a process that ended without removing it stays behind.
bool trayIconPresent(HWND window);

}  // namespace installer_test
