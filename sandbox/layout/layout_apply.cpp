#include "layout.h"

#include "diagnostics/handles.h"

#include <algorithm>
#include <set>

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

// --- registry (HKEY_LOCAL_MACHINE, 32-bit view) ---

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

// --- folders ---

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

// --- services ---

// Service names compare without regard to case.
struct NoCase {
    static bool equal(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

class ServiceManager {
public:
    ServiceManager(const ApplyOptions& options, const std::vector<ServiceSection>& declared)
        : options_(options), declared_(declared) {
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager_) raise(L"OpenSCManager", ::GetLastError());
    }

    // Null when the service does not exist.
    UniqueServiceHandle open(const std::wstring& name) const {
        UniqueServiceHandle service(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_ALL_ACCESS));
        if (!service) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST) raise(L"OpenService '" + name + L"'", error);
        }
        return service;
    }

    void createOrUpdate(const ServiceSection& section) {
        const std::wstring binary = binaryPath(section.binary);
        std::wstring dependencies;
        for (const std::wstring& dependency : section.dependencies) dependencies += dependency + L'\0';
        dependencies += L'\0';
        const wchar_t* display = section.displayName.empty() ? section.name.c_str() : section.displayName.c_str();

        if (UniqueServiceHandle service = open(section.name)) {
            if (!::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, section.startType,
                                        SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, dependencies.c_str(),
                                        nullptr, nullptr, display))
                raise(L"ChangeServiceConfig '" + section.name + L"'", ::GetLastError());
            return;
        }
        // A service deleted a moment ago can stay marked for deletion until
        // the last handle to it is closed.
        const ULONGLONG end = ::GetTickCount64() + options_.serviceTimeoutMs;
        while (true) {
            UniqueServiceHandle service(::CreateServiceW(
                manager_.get(), section.name.c_str(), display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                section.startType, SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, dependencies.c_str(),
                nullptr, nullptr));
            if (service) return;
            const DWORD error = ::GetLastError();
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE || ::GetTickCount64() >= end)
                raise(L"CreateService '" + section.name + L"'", error);
            ::Sleep(100);
        }
    }

    // Starts the service after the services it depends on; a running one is left alone.
    void start(const std::wstring& name, std::set<std::wstring, NoCase>& visiting) {
        if (!visiting.insert(name).second) return;
        UniqueServiceHandle service = open(name);
        if (!service) raise(L"OpenService '" + name + L"'", ERROR_SERVICE_DOES_NOT_EXIST);
        if (status(service.get(), name).dwCurrentState == SERVICE_RUNNING) return;
        for (const std::wstring& dependency : dependenciesOf(service.get(), name))
            if (dependency.empty() || dependency.front() != SC_GROUP_IDENTIFIERW) start(dependency, visiting);
        const ULONGLONG end = ::GetTickCount64() + options_.serviceTimeoutMs;
        // Wine's service manager keeps its database locked while it starts
        // the auto-start services of a freshly started prefix.
        while (!::StartServiceW(service.get(), 0, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_SERVICE_ALREADY_RUNNING) break;
            if (error != ERROR_SERVICE_DATABASE_LOCKED || ::GetTickCount64() >= end)
                raise(L"StartService '" + name + L"'", error);
            ::Sleep(100);
        }
        while (true) {
            const SERVICE_STATUS_PROCESS current = status(service.get(), name);
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

    // Stops the service after its running dependents; a service that ignores
    // the request for the grace time is terminated. A missing service is skipped.
    void stop(const std::wstring& name, std::set<std::wstring, NoCase>& visiting) {
        if (!visiting.insert(name).second) return;
        UniqueServiceHandle service = open(name);
        if (!service) return;
        if (status(service.get(), name).dwCurrentState == SERVICE_STOPPED) return;
        for (const std::wstring& dependent : dependentsOf(service.get(), name)) stop(dependent, visiting);

        SERVICE_STATUS ignored;
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_SERVICE_NOT_ACTIVE) return;
            // A service still starting up cannot take the request yet; it is
            // waited for and, if need be, terminated below.
            if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) raise(L"ControlService STOP '" + name + L"'", error);
        }
        if (waitStopped(service.get(), name, std::min(options_.serviceTimeoutMs, options_.stopGraceMs))) return;

        // Wine's service manager does not notice that a service process has
        // ended: it keeps reporting RUNNING, and after DeleteService keeps the
        // entry marked for deletion until the wineserver restarts. A
        // terminated service therefore counts as stopped.
        const DWORD processId = status(service.get(), name).dwProcessId;
        if (processId == 0) throw LayoutError(L"service '" + name + L"' did not stop in time");
        UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
        if (!process) raise(L"OpenProcess of service '" + name + L"'", ::GetLastError());
        if (!::TerminateProcess(process.get(), ERROR_PROCESS_ABORTED))
            raise(L"TerminateProcess of service '" + name + L"'", ::GetLastError());
        if (::WaitForSingleObject(process.get(), options_.serviceTimeoutMs) != WAIT_OBJECT_0)
            throw LayoutError(L"service '" + name + L"' did not end after TerminateProcess");
    }

    void remove(const std::wstring& name) {
        UniqueServiceHandle service = open(name);
        if (!service) return;
        if (!::DeleteService(service.get())) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_SERVICE_MARKED_FOR_DELETE) raise(L"DeleteService '" + name + L"'", error);
        }
    }

private:
    SERVICE_STATUS_PROCESS status(SC_HANDLE service, const std::wstring& name) const {
        SERVICE_STATUS_PROCESS current{};
        DWORD needed = 0;
        if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&current),
                                    sizeof(current), &needed))
            raise(L"QueryServiceStatusEx '" + name + L"'", ::GetLastError());
        return current;
    }

    bool waitStopped(SC_HANDLE service, const std::wstring& name, DWORD timeoutMs) const {
        const ULONGLONG end = ::GetTickCount64() + timeoutMs;
        while (status(service, name).dwCurrentState != SERVICE_STOPPED) {
            if (::GetTickCount64() >= end) return false;
            ::Sleep(50);
        }
        return true;
    }

    // What the service control manager reports and what the layout declares:
    // Wine's QueryServiceConfigW leaves lpDependencies empty and its
    // EnumDependentServicesW lists nothing.
    std::vector<std::wstring> dependenciesOf(SC_HANDLE service, const std::wstring& name) const {
        DWORD needed = 0;
        ::QueryServiceConfigW(service, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!::QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
            raise(L"QueryServiceConfig '" + name + L"'", ::GetLastError());
        std::vector<std::wstring> names;
        for (const wchar_t* item = config->lpDependencies; item && *item; item += wcslen(item) + 1)
            names.emplace_back(item);
        for (const ServiceSection& section : declared_)
            if (NoCase::equal(section.name, name))
                names.insert(names.end(), section.dependencies.begin(), section.dependencies.end());
        return names;
    }

    // Running dependents, as for dependenciesOf.
    std::vector<std::wstring> dependentsOf(SC_HANDLE service, const std::wstring& name) const {
        std::vector<std::wstring> names;
        DWORD needed = 0, count = 0;
        if (!::EnumDependentServicesW(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_MORE_DATA) raise(L"EnumDependentServices '" + name + L"'", error);
            std::vector<BYTE> buffer(needed);
            auto* entries = reinterpret_cast<ENUM_SERVICE_STATUSW*>(buffer.data());
            if (!::EnumDependentServicesW(service, SERVICE_ACTIVE, entries, needed, &needed, &count))
                raise(L"EnumDependentServices '" + name + L"'", ::GetLastError());
            for (DWORD i = 0; i < count; ++i) names.emplace_back(entries[i].lpServiceName);
        }
        for (const ServiceSection& section : declared_)
            for (const std::wstring& dependency : section.dependencies)
                if (NoCase::equal(dependency, name)) names.push_back(section.name);
        return names;
    }

    // A bare program name (no folder) is taken from the program folder; the
    // program is quoted so that folders with blanks work.
    std::wstring binaryPath(const std::wstring& binary) const {
        std::wstring program, arguments;
        if (!binary.empty() && binary.front() == L'"') {
            const size_t close = binary.find(L'"', 1);
            program = binary.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
            arguments = close == std::wstring::npos ? L"" : binary.substr(close + 1);
        } else {
            const size_t blank = binary.find(L' ');
            program = binary.substr(0, blank);
            arguments = blank == std::wstring::npos ? L"" : binary.substr(blank);
        }
        if (program.find_first_of(L"\\/:") == std::wstring::npos) {
            const std::wstring folder = options_.programDir.empty() ? programFolder() : options_.programDir;
            program = folder + L"\\" + program;
        }
        return L"\"" + program + L"\"" + arguments;
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
    if (!layout.services.empty()) {
        ServiceManager manager(options, layout.services);
        std::set<std::wstring, NoCase> visiting;
        for (auto it = layout.services.rbegin(); it != layout.services.rend(); ++it) manager.stop(it->name, visiting);
        for (const ServiceSection& section : layout.services) manager.remove(section.name);
    }
    for (const PackageSection& section : layout.packages) deleteKeyTree(section.keyPath());
    for (const PackageSection& section : layout.packages) pruneEmptyKeys(section.keyPath());
    for (const KeySection& section : layout.keys) {
        if (UniqueRegKey key = openKey(section.path, KEY_SET_VALUE))
            for (const Value& value : section.values) deleteValue(key.get(), section.path, value.name);
        pruneEmptyKeys(section.path);
    }
    for (const std::wstring& folder : layout.folders) {
        const std::wstring path = withoutTrailingSlash(folder);
        deleteFolderTree(path);
        pruneEmptyFolders(path);
    }
}

}  // namespace sandbox::layout
