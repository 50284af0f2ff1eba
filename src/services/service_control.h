// Starting, stopping, pausing and continuing services, waiting until the
// service control manager reports the wanted state, and starting or
// stopping a service together with its dependency chain.
//
// Every call blocks the calling thread until the service settles or a
// time-out passes; the sleeps are alertable, so cancelling the thread ends
// them. Nothing is shared between calls.
#pragma once

#include "services/service_query.h"
#include "services/wait_policy.h"

#include <functional>
#include <string>

namespace service {

// Stages reported by startStopService.
enum StartStopStage : int {
    StageGatherDependencies = 0,
    StageStarting = 1,
    StageStopping = 2,
};

// Progress callback of startStopService: (stage, service name, the caller's
// context); the result is ignored.
using ProgressCallback = int (*)(int stage, const wchar_t* name, void* context);

// Sends SERVICE_CONTROL_STOP, _PAUSE or _CONTINUE and waits until the service
// reaches STOPPED, PAUSED or RUNNING. Returns 0 on success (also for a stop
// request to a service that does not exist, is not running or went away
// meanwhile), ERROR_TIMEOUT when the service did not settle, or the error of
// a status query that failed while waiting; failures to open, query or send
// are raised. A service already in the request's pending state (STOP_PENDING
// for a stop) is not sent the request again; its change is waited for.
DWORD controlService(DWORD code, const std::wstring& name, const wchar_t* machine = nullptr,
                     const wchar_t* database = nullptr);

// Starts the service (or continues a paused one) and waits until it runs.
// Returns 0 when it runs, ERROR_TIMEOUT, or the service's own exit code
// (the service-specific one for ERROR_SERVICE_SPECIFIC_ERROR; the state's
// number when that code is 0, so a failed start never returns 0). Errors
// arrive as a plain vexception whose last context entry is
// "startService(<name>)".
DWORD startService(const std::wstring& name, const wchar_t* machine = nullptr, const wchar_t* database = nullptr);

// Starts (start = true) the service after the services it depends on, or
// stops it after the active services that depend on it, recursively. Returns
// at once when the service is already active (start) or not active (stop).
// `progress` gets StageGatherDependencies, then StageStarting or
// StageStopping, for this service only. When `stopped` is given, the name of
// every dependent service about to be stopped is appended to it, at every
// level. A non-zero result of the start or stop is raised with the where text
// "Start service <name>" or "Stop service <name>". Group dependencies
// ("+group") are left to the service control manager. A service reached
// again through its own dependencies (or dependents) raises a vexception
// "Service dependency cycle: A -> B -> A" ("Service dependent cycle: ..."
// for a stop) before anything of the cycle is started or stopped.
void startStopService(const std::wstring& name, bool start, const wchar_t* machine = nullptr,
                      const wchar_t* database = nullptr, ProgressCallback progress = nullptr, void* context = nullptr,
                      ServiceNameList* stopped = nullptr);

}  // namespace service

// The same operations with the clock and the dependency look-ups supplied by
// the caller (tests).
namespace service_detail {

struct DependencyLookup {
    // Appends what `name` depends on (services and "+group" entries).
    std::function<void(service::ServiceNameList&, const std::wstring& name, const wchar_t* machine,
                       const wchar_t* database)>
        dependencies;
    // Appends the active services that depend on `name`.
    std::function<void(service::ServiceNameList&, const std::wstring& name, const wchar_t* machine,
                       const wchar_t* database)>
        activeDependents;
};

// serviceDependencies and dependentServices with SERVICE_ACTIVE.
const DependencyLookup& managerDependencyLookup();

DWORD controlService(WaitClock& clock, DWORD code, const std::wstring& name, const wchar_t* machine,
                     const wchar_t* database);
DWORD startService(WaitClock& clock, const std::wstring& name, const wchar_t* machine, const wchar_t* database);
void startStopService(const DependencyLookup& lookup, WaitClock& clock, const std::wstring& name, bool start,
                      const wchar_t* machine, const wchar_t* database, service::ProgressCallback progress,
                      void* context, service::ServiceNameList* stopped);

}  // namespace service_detail
