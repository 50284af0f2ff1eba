// Creating and removing testsvc services from tests and from the layout tool.
// Self-contained (Win32 and the standard library only). Failures throw
// std::runtime_error whose text names the call, the service and the code.
#pragma once

#include "diagnostics/win32.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sandboxkit {

// The testsvc program beside the running executable (all built programs
// share one folder).
std::wstring testsvcPath();

// `prefix` + the process id + a per-process counter: unique among the
// processes of one run.
std::wstring uniqueName(const std::wstring& prefix);

// Registers an own-process service running `binary` with `commandLineArgs`
// appended to its quoted path. An empty `display` leaves the display name
// absent; `dependencies` may hold service names and "+group" entries.
void createService(const std::wstring& name, const std::wstring& display, const std::wstring& commandLineArgs,
                   const std::vector<std::wstring>& dependencies = {}, DWORD startType = SERVICE_DEMAND_START,
                   const std::wstring& binary = testsvcPath());

// Calls `create` (a CreateServiceW) again while it fails with
// ERROR_SERVICE_MARKED_FOR_DELETE, for up to 10 s: a deleted service of the
// same name stays until the last handle to it is closed (a process that
// ended a moment ago may still hold one). Returns the new service's handle,
// or null with the last error set.
SC_HANDLE createWhenTheNameIsFree(const std::function<SC_HANDLE()>& create);

// Stops the service (sends STOP, and ends its process when it does not stop
// within `stopTimeoutMs`), then deletes it. Returns false when no such
// service exists.
bool deleteService(const std::wstring& name, DWORD stopTimeoutMs = 3000);

// Sends StartServiceW and returns its error code (0 on success), without
// waiting.
DWORD startService(const std::wstring& name);
// Sends a control code and returns ControlService's error code (0 on success).
DWORD controlService(const std::wstring& name, DWORD control);
// The current SERVICE_STATUS; throws when the service cannot be queried.
SERVICE_STATUS queryStatus(const std::wstring& name);
// Polls every 20 ms until the state is `state`; false when `timeoutMs` passed.
bool waitForState(const std::wstring& name, DWORD state, DWORD timeoutMs = 5000);
// Changes the configured start type (SERVICE_DEMAND_START, SERVICE_DISABLED...).
void setStartType(const std::wstring& name, DWORD startType);
// Makes the service run testsvc.exe with `commandLineArgs` (from its next
// start on).
void setArguments(const std::wstring& name, const std::wstring& commandLineArgs);
// The arguments of test service `name` for a scope: set when made, cleared
// again at the end of the scope.
class ScopedArguments {
public:
    ScopedArguments(std::wstring name, const std::wstring& commandLineArgs) : name_(std::move(name)) {
        setArguments(name_, commandLineArgs);
    }
    ~ScopedArguments() { setArguments(name_, L""); }
    ScopedArguments(const ScopedArguments&) = delete;
    ScopedArguments& operator=(const ScopedArguments&) = delete;

private:
    std::wstring name_;
};
// Starts the service and waits until it runs; throws when it does not.
void startAndWait(const std::wstring& name, DWORD timeoutMs = 5000);

// Makes the sandbox's management service (quarnsrv, its control 200) die as a
// crashed service does: every pipe connection breaks unanswered and its
// process ends at once, while the service manager learns that it stopped
// (with a service-specific exit code), so it can be started again, under
// Wine too. True once the process has ended and the service shows stopped.
bool crashManagementService(const std::wstring& name = L"quarnsrv");

// A testsvc service that exists for the lifetime of the object: created in
// the constructor, stopped and deleted in the destructor.
class ScopedService {
public:
    ScopedService(std::wstring name, const std::wstring& display, const std::wstring& commandLineArgs,
                  const std::vector<std::wstring>& dependencies = {}, DWORD startType = SERVICE_DEMAND_START);
    ~ScopedService();
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;

    const std::wstring& name() const { return name_; }

private:
    std::wstring name_;
};

}  // namespace sandboxkit
