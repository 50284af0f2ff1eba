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

// A package built for the tests: "current.msi", "rebuilt.msi" or "newer.msi".
std::wstring packagePath(const std::wstring& name);

// Runs "msiexec <arguments> /qn" and returns its exit code (-1 when it did not end).
long msiexec(const std::wstring& arguments);

// "C:\Program Files\Quarn\Services Monitor" for the x64 package, the same
// under "C:\Program Files (x86)" for the x86 one.
std::wstring installFolder();

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

}  // namespace installer_test
