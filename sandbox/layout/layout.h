// A Wine prefix laid out as a Quarn hosting server: configuration values,
// the package registry, product folders and real services in the service
// control manager, all described by a small text file (the format is
// documented at the top of quarn-server.layout).
//
// Every registry key is written in the 32-bit view under HKEY_LOCAL_MACHINE,
// where the monitor reads it.
#pragma once

#include "diagnostics/win32.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox::layout {

// A failure to read or apply a layout. what() is the UTF-8 form of text().
class LayoutError : public std::runtime_error {
public:
    explicit LayoutError(const std::wstring& text);
    const std::wstring& text() const noexcept { return text_; }

private:
    std::wstring text_;
};

struct Value {
    std::wstring name;  // empty: the key's default value
    DWORD type = REG_SZ;  // REG_SZ, REG_EXPAND_SZ or REG_DWORD
    std::wstring text;  // REG_SZ / REG_EXPAND_SZ data
    DWORD number = 0;  // REG_DWORD data
};

// "[key PATH]" or "[config]": values of a key below HKEY_LOCAL_MACHINE. The
// layout owns the values it names, not the key.
struct KeySection {
    std::wstring path;
    std::vector<Value> values;
};

// "[type T]", "[package T/N]" and "[service T/N/S]": a key of the package
// registry that the layout owns with its whole subtree.
struct PackageSection {
    enum class Kind { Type, Package, Service };
    Kind kind = Kind::Type;
    std::wstring type;
    std::wstring package;  // Package and Service
    std::wstring service;  // Service
    std::vector<Value> values;  // Type: at most the default value ("installed"); Service: its values
    bool servicesKey = true;  // Package: whether its "services" key exists
    bool hasInstalled = false;  // Type: whether "installed" was given

    // The key's path below HKEY_LOCAL_MACHINE.
    std::wstring keyPath() const;
};

// "[winservice NAME]": a service registered with the service control manager.
struct ServiceSection {
    enum class State { Untouched, Running, Stopped };
    std::wstring name;
    std::wstring displayName;  // empty: the name
    std::wstring binary;  // program and arguments; a bare program name is looked up in the program folder
    DWORD startType = SERVICE_DEMAND_START;
    std::vector<std::wstring> dependencies;
    State state = State::Untouched;
};

// A line of "[copy]": a built program (or any file) copied to a path.
struct FileCopy {
    std::wstring target;  // full path of the copy
    std::wstring source;  // a bare name is taken from the program folder
};

struct Layout {
    std::vector<KeySection> keys;
    std::vector<std::wstring> folders;
    std::vector<FileCopy> copies;
    std::vector<PackageSection> packages;
    std::vector<ServiceSection> services;
};

// The configuration key, relative to HKEY_LOCAL_MACHINE.
inline constexpr std::wstring_view kConfigKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config";
inline constexpr std::wstring_view kPackagesKey = L"SOFTWARE\\Quarn\\ZRT Config\\Config\\Packages";

// Parses layout text. Raises LayoutError naming the line on a syntax error.
Layout parseLayout(std::wstring_view text);

// Reads and parses a UTF-8 layout file (a byte-order mark is allowed).
Layout loadLayout(const std::wstring& path);

struct ApplyOptions {
    // Where bare program names of "binary" are found; empty: the folder of
    // the running program.
    std::wstring programDir;
    // Time allowed for one service to reach a requested state.
    DWORD serviceTimeoutMs = 30000;
    // Time a service gets to stop on request before it is terminated.
    DWORD stopGraceMs = 5000;
};

// Makes the prefix match the layout: folders created, files copied (their
// folders created, an existing copy replaced), keys created and their
// values written (a type without "installed" loses its default value, a
// package with "services = no" loses its "services" key), services created or
// reconfigured, then brought to their requested state (dependencies first).
// Applying twice gives the same result. Raises LayoutError on the first
// failure, naming the call and the object.
void applyLayout(const Layout& layout, const ApplyOptions& options = {});

// Undoes applyLayout: services stopped (dependents first; the process of one
// that ignores the stop request is terminated; Wine then keeps its entry,
// marked for deletion, until the wineserver restarts) and deleted; package keys deleted with
// their subtrees; the values of key sections deleted; folders deleted with
// their contents; then every parent key or folder left empty, up to
// HKEY_LOCAL_MACHINE\SOFTWARE and the drive root. What is already gone is
// skipped. Copied files are deleted before the folders, then their folders
// when left empty. Raises LayoutError on the first failure.
void removeLayout(const Layout& layout, const ApplyOptions& options = {});

// The program folder of the running process.
std::wstring programFolder();

}  // namespace sandbox::layout
