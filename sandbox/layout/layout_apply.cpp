#include "layout.h"

#include "diagnostics/handles.h"
#include "sandbox_kit.h"

#include <set>
#include <utility>

namespace sandbox::layout {

namespace {

constexpr REGSAM kView = KEY_WOW64_32KEY;

std::wstring errorText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    UniqueLocalMemory owner(buffer);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring(L"error");
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text + L" (" + std::to_wstring(code) + L")";
}

[[noreturn]] void raise(const std::wstring& where, DWORD code) {
    throw LayoutError(where + L": " + errorText(code));
}

std::wstring parentOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

UniqueRegKey createKey(const std::wstring& path) {
    UniqueRegKey key;
    const LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                             KEY_READ | KEY_WRITE | kView, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) raise(L"RegCreateKeyEx '" + path + L"'", status);
    return key;
}

// Null when the key does not exist.
UniqueRegKey openKey(const std::wstring& path, REGSAM access) {
    UniqueRegKey key;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | kView, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return {};
    if (status != ERROR_SUCCESS) raise(L"RegOpenKeyEx '" + path + L"'", status);
    return key;
}

void setValue(HKEY key, const std::wstring& path, const Value& value) {
    LSTATUS status;
    if (value.type == REG_DWORD) {
        status = ::RegSetValueExW(key, value.name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                                  sizeof(value.number));
    } else {
        status = ::RegSetValueExW(key, value.name.c_str(), 0, value.type,
                                  reinterpret_cast<const BYTE*>(value.text.c_str()),
                                  static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t)));
    }
    if (status != ERROR_SUCCESS) raise(L"RegSetValueEx '" + path + L"\\" + value.name + L"'", status);
}

void deleteValue(HKEY key, const std::wstring& path, const std::wstring& name) {
    const LSTATUS status = ::RegDeleteValueW(key, name.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        raise(L"RegDeleteValue '" + path + L"\\" + name + L"'", status);
}

void deleteKeyTree(const std::wstring& path) {
    UniqueRegKey key = openKey(path, KEY_ALL_ACCESS);
    if (!key) return;
    LSTATUS status = ::RegDeleteTreeW(key.get(), nullptr);
    if (status != ERROR_SUCCESS) raise(L"RegDeleteTree '" + path + L"'", status);
    key.reset();
    status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) raise(L"RegDeleteKeyEx '" + path + L"'", status);
}

// Deletes `path` and then each parent while it has neither sub-keys nor
// values; keys directly below HKEY_LOCAL_MACHINE are never deleted.
void pruneEmptyKeys(std::wstring path) {
    for (; path.find(L'\\') != std::wstring::npos; path = parentOf(path)) {
        UniqueRegKey key = openKey(path, KEY_QUERY_VALUE);
        if (!key) continue;
        DWORD subKeys = 0, values = 0;
        const LSTATUS status = ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                                                  &values, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) raise(L"RegQueryInfoKey '" + path + L"'", status);
        if (subKeys != 0 || values != 0) return;
        key.reset();
        const LSTATUS deleted = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0);
        if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
            raise(L"RegDeleteKeyEx '" + path + L"'", deleted);
    }
}

void applyPackage(const PackageSection& section) {
    const std::wstring path = section.keyPath();
    UniqueRegKey key = createKey(path);
    switch (section.kind) {
    case PackageSection::Kind::Type:
        if (section.hasInstalled) setValue(key.get(), path, section.values.front());
        else deleteValue(key.get(), path, L"");
        break;
    case PackageSection::Kind::Package:
        if (section.servicesKey) createKey(path + L"\\services");
        else deleteKeyTree(path + L"\\services");
        break;
    case PackageSection::Kind::Service:
        for (const Value& value : section.values) setValue(key.get(), path, value);
        break;
    }
}

void createFolder(const std::wstring& path) {
    for (size_t slash = path.find_first_of(L"\\/"); ; slash = path.find_first_of(L"\\/", slash + 1)) {
        const std::wstring part = path.substr(0, slash);
        if (!part.empty() && part.back() != L':' && !::CreateDirectoryW(part.c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS) raise(L"CreateDirectory '" + part + L"'", error);
        }
        if (slash == std::wstring::npos) return;
    }
}

void deleteFolderTree(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(::FindFirstFileW((path + L"\\*").c_str(), &entry));
    if (!find) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        raise(L"FindFirstFile '" + path + L"'", error);
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = path + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            deleteFolderTree(child);
        } else {
            ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!::DeleteFileW(child.c_str())) raise(L"DeleteFile '" + child + L"'", ::GetLastError());
        }
    } while (::FindNextFileW(find.get(), &entry));
    find.reset();
    if (!::RemoveDirectoryW(path.c_str())) raise(L"RemoveDirectory '" + path + L"'", ::GetLastError());
}

std::wstring withoutTrailingSlash(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

void pruneEmptyFolders(std::wstring path) {
    for (path = parentOf(path); path.size() > 2; path = parentOf(path))
        if (!::RemoveDirectoryW(path.c_str())) return;
}

// A "[copy]" source: a bare name is taken from the program folder.
std::wstring copySource(const std::wstring& source, const ApplyOptions& options) {
    if (source.find_first_of(L"\\/:") != std::wstring::npos) return source;
    return (options.programDir.empty() ? programFolder() : options.programDir) + L"\\" + source;
}

void applyCopy(const FileCopy& copy, const ApplyOptions& options) {
    createFolder(parentOf(copy.target));
    const std::wstring source = copySource(copy.source, options);
    if (!::CopyFileW(source.c_str(), copy.target.c_str(), FALSE))
        raise(L"CopyFile '" + source + L"' to '" + copy.target + L"'", ::GetLastError());
}

void removeCopy(const FileCopy& copy) {
    ::SetFileAttributesW(copy.target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::DeleteFileW(copy.target.c_str())) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            raise(L"DeleteFile '" + copy.target + L"'", error);
    }
    pruneEmptyFolders(copy.target);
}

// Service names compare without regard to case.
struct NoCase {
    static bool equal(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

// Runs a kit call, turning its std::runtime_error into a LayoutError.
template <class Call>
auto viaKit(Call call) {
    try {
        return call();
    } catch (const LayoutError&) {
        throw;
    } catch (const std::runtime_error& error) {
        const std::string text = error.what();
        throw LayoutError(std::wstring(text.begin(), text.end()));
    }
}

// The dependencies come from the layout, not from the service manager: Wine's
// QueryServiceConfigW and EnumDependentServicesW report none, and its
// StartService starts no dependencies.
class ServiceManager {
public:
    ServiceManager(const ApplyOptions& options, const std::vector<ServiceSection>& declared)
        : options_(options), declared_(declared) {
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager_) raise(L"OpenSCManager", ::GetLastError());
    }

    void createOrUpdate(const ServiceSection& section) {
        const auto [program, arguments] = splitBinary(section.binary);
        const std::wstring display = section.displayName.empty() ? section.name : section.displayName;
        UniqueServiceHandle service(::OpenServiceW(manager_.get(), section.name.c_str(), SERVICE_CHANGE_CONFIG));
        if (!service) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST) raise(L"OpenService '" + section.name + L"'", error);
            viaKit([&] {
                sandboxkit::createService(section.name, display, arguments, section.dependencies, section.startType,
                                          program);
            });
            return;
        }
        std::wstring dependencies;
        for (const std::wstring& dependency : section.dependencies) dependencies += dependency + L'\0';
        dependencies += L'\0';
        const std::wstring binary = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
        if (!::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, section.startType, SERVICE_ERROR_NORMAL,
                                    binary.c_str(), nullptr, nullptr, dependencies.c_str(), nullptr, nullptr,
                                    display.c_str()))
            raise(L"ChangeServiceConfig '" + section.name + L"'", ::GetLastError());
    }

    // Starts the service after its declared dependencies; a running one is
    // left alone. A service that stops while starting raises with its code.
    void start(const std::wstring& name, std::set<std::wstring, NoCase>& visiting) {
        if (!visiting.insert(name).second) return;
        if (state(name) == SERVICE_RUNNING) return;
        for (const std::wstring& dependency : dependenciesOf(name)) start(dependency, visiting);

        const ULONGLONG end = ::GetTickCount64() + options_.serviceTimeoutMs;
        // Wine's service manager keeps its database locked while it starts
        // the auto-start services of a freshly started prefix.
        while (const DWORD error = viaKit([&] { return sandboxkit::startService(name); })) {
            if (error == ERROR_SERVICE_ALREADY_RUNNING) break;
            if (error != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount64() >= end)
                raise(L"StartService '" + name + L"'", error);
            ::Sleep(100);
        }
        while (true) {
            const SERVICE_STATUS current = viaKit([&] { return sandboxkit::queryStatus(name); });
            if (current.dwCurrentState == SERVICE_RUNNING) return;
            if (current.dwCurrentState == SERVICE_STOPPED) {
                const DWORD code = current.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                                       ? current.dwServiceSpecificExitCode
                                       : current.dwWin32ExitCode;
                throw LayoutError(L"service '" + name + L"' stopped while starting: " + errorText(code));
            }
            if (::GetTickCount64() >= end)
                throw LayoutError(L"service '" + name + L"' did not reach RUNNING in time");
            ::Sleep(50);
        }
    }

    // Stops the service after its declared dependents; a missing one is skipped.
    void stop(const std::wstring& name, std::set<std::wstring, NoCase>& visiting) {
        if (!visiting.insert(name).second) return;
        if (!exists(name) || state(name) == SERVICE_STOPPED) return;
        for (const std::wstring& dependent : dependentsOf(name)) stop(dependent, visiting);
        const DWORD error = viaKit([&] { return sandboxkit::controlService(name, SERVICE_CONTROL_STOP); });
        if (error != ERROR_SUCCESS && error != ERROR_SERVICE_NOT_ACTIVE)
            raise(L"ControlService STOP '" + name + L"'", error);
        if (!viaKit([&] { return sandboxkit::waitForState(name, SERVICE_STOPPED, options_.serviceTimeoutMs); }))
            throw LayoutError(L"service '" + name + L"' did not stop in time");
    }

    // Stops (ending the process of a service that ignores the request) and
    // deletes every declared service, dependents before their dependencies.
    void removeAll() {
        std::vector<std::wstring> order;
        std::set<std::wstring, NoCase> visited;
        for (auto it = declared_.rbegin(); it != declared_.rend(); ++it) dependentsFirst(it->name, visited, order);
        for (const std::wstring& name : order)
            viaKit([&] { return sandboxkit::deleteService(name, options_.stopGraceMs); });
    }

private:
    bool exists(const std::wstring& name) const {
        UniqueServiceHandle service(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (service) return true;
        const DWORD error = ::GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) raise(L"OpenService '" + name + L"'", error);
        return false;
    }

    DWORD state(const std::wstring& name) const {
        return viaKit([&] { return sandboxkit::queryStatus(name); }).dwCurrentState;
    }

    std::vector<std::wstring> dependenciesOf(const std::wstring& name) const {
        std::vector<std::wstring> names;
        for (const ServiceSection& section : declared_)
            if (NoCase::equal(section.name, name))
                for (const std::wstring& dependency : section.dependencies)
                    if (dependency.empty() || dependency.front() != SC_GROUP_IDENTIFIERW) names.push_back(dependency);
        return names;
    }

    std::vector<std::wstring> dependentsOf(const std::wstring& name) const {
        std::vector<std::wstring> names;
        for (const ServiceSection& section : declared_)
            for (const std::wstring& dependency : section.dependencies)
                if (NoCase::equal(dependency, name)) names.push_back(section.name);
        return names;
    }

    void dependentsFirst(const std::wstring& name, std::set<std::wstring, NoCase>& visited,
                         std::vector<std::wstring>& order) const {
        if (!visited.insert(name).second) return;
        for (const std::wstring& dependent : dependentsOf(name)) dependentsFirst(dependent, visited, order);
        order.push_back(name);
    }

    // The program (a bare name is taken from the program folder) and the
    // arguments of a "binary" setting.
    std::pair<std::wstring, std::wstring> splitBinary(const std::wstring& binary) const {
        std::wstring program, arguments;
        if (!binary.empty() && binary.front() == L'"') {
            const size_t close = binary.find(L'"', 1);
            program = binary.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
            if (close != std::wstring::npos) arguments = binary.substr(close + 1);
        } else {
            const size_t blank = binary.find(L' ');
            program = binary.substr(0, blank);
            if (blank != std::wstring::npos) arguments = binary.substr(blank);
        }
        const size_t first = arguments.find_first_not_of(L' ');
        arguments = first == std::wstring::npos ? L"" : arguments.substr(first);
        if (program.find_first_of(L"\\/:") == std::wstring::npos) {
            const std::wstring folder = options_.programDir.empty() ? programFolder() : options_.programDir;
            program = folder + L"\\" + program;
        }
        return {program, arguments};
    }

    const ApplyOptions& options_;
    const std::vector<ServiceSection>& declared_;
    UniqueServiceHandle manager_;
};

}  // namespace

std::wstring programFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    while (true) {
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) break;
        buffer.resize(buffer.size() * 2);
    }
    std::wstring path(buffer.data());
    return path.substr(0, path.find_last_of(L"\\/"));
}

void applyLayout(const Layout& layout, const ApplyOptions& options) {
    for (const std::wstring& folder : layout.folders) createFolder(withoutTrailingSlash(folder));
    for (const FileCopy& copy : layout.copies) applyCopy(copy, options);
    for (const KeySection& section : layout.keys) {
        UniqueRegKey key = createKey(section.path);
        for (const Value& value : section.values) setValue(key.get(), section.path, value);
    }
    for (const PackageSection& section : layout.packages) applyPackage(section);

    if (layout.services.empty()) return;
    ServiceManager manager(options, layout.services);
    for (const ServiceSection& section : layout.services) manager.createOrUpdate(section);
    for (const ServiceSection& section : layout.services) {
        std::set<std::wstring, NoCase> visiting;
        if (section.state == ServiceSection::State::Running) manager.start(section.name, visiting);
        else if (section.state == ServiceSection::State::Stopped) manager.stop(section.name, visiting);
    }
}

void removeLayout(const Layout& layout, const ApplyOptions& options) {
    if (!layout.services.empty()) ServiceManager(options, layout.services).removeAll();
    for (const PackageSection& section : layout.packages) deleteKeyTree(section.keyPath());
    for (const PackageSection& section : layout.packages) pruneEmptyKeys(section.keyPath());
    for (const KeySection& section : layout.keys) {
        if (UniqueRegKey key = openKey(section.path, KEY_SET_VALUE))
            for (const Value& value : section.values) deleteValue(key.get(), section.path, value.name);
        pruneEmptyKeys(section.path);
    }
    for (const FileCopy& copy : layout.copies) removeCopy(copy);
    for (const std::wstring& folder : layout.folders) {
        const std::wstring path = withoutTrailingSlash(folder);
        deleteFolderTree(path);
        pruneEmptyFolders(path);
    }
}

}  // namespace sandbox::layout
