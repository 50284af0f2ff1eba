#include "services/service_status_watcher.h"

#include <algorithm>
#include <cwctype>

namespace {

// Every state a service can be in, and the marking for deletion.
constexpr DWORD kAllStates = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING | SERVICE_NOTIFY_STOP_PENDING |
                             SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_CONTINUE_PENDING |
                             SERVICE_NOTIFY_PAUSE_PENDING | SERVICE_NOTIFY_PAUSED;

// How many deletion checks follow a stop before they are left to the slow
// round.
constexpr int kDeletionChecksAfterStop = 10;
// A released registration is freed once the thread has run its queued
// callbacks at least this long after the release: closing the handle cancels
// the registration, but a callback the manager queued just before stays
// queued until the thread next waits alertably.
constexpr ULONGLONG kRetiredKeepMs = 5000;

// Runs the callbacks queued for this thread.
void runQueuedCallbacks() {
    while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
    }
}

ServiceStatusWatcher::RegisterFunction registerFunction = &::NotifyServiceStatusChangeW;

// A mask including the current state fires at once: register for the others.
DWORD maskWithout(DWORD state) {
    const DWORD bit = state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? 1u << (state - SERVICE_STOPPED) : 0;
    return (kAllStates & ~bit) | SERVICE_NOTIFY_DELETE_PENDING;
}

// Service names compare without regard to case.
std::wstring keyOf(const std::wstring& name) {
    std::wstring key = name;
    std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return key;
}

bool queryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status) {
    DWORD needed = 0;
    return ::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed) != FALSE;
}

}  // namespace

struct ServiceStatusWatcher::Registration {
    ServiceStatusWatcher* owner = nullptr;
    std::wstring name;
    UniqueServiceHandle service;
    // Handed to the manager: stays at this address while registered.
    SERVICE_NOTIFYW notify{};
    DWORD state = 0;
    bool pending = false;
    bool retired = false;
    bool changedWhileOwn = false;
    bool canCheckDeletion = false;
    int deletionChecks = 0;
};

ServiceStatusWatcher::ServiceStatusWatcher(Wake wake) : wake_(std::move(wake)) {}

ServiceStatusWatcher::~ServiceStatusWatcher() {
    for (auto& entry : active_) {
        entry.second->retired = true;
        entry.second->service.reset();
    }
    runQueuedCallbacks();
}

ServiceStatusWatcher::RegisterFunction ServiceStatusWatcher::setRegisterFunction(RegisterFunction function) {
    return std::exchange(registerFunction, function);
}

DWORD ServiceStatusWatcher::watch(const std::wstring& name, SERVICE_STATUS_PROCESS* current) {
    const std::wstring key = keyOf(name);
    if (auto found = active_.find(key); found != active_.end()) {
        if (current) {
            *current = SERVICE_STATUS_PROCESS{};
            current->dwCurrentState = found->second->state;
        }
        return 0;
    }
    if (!manager_) {
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager_) return ::GetLastError();
    }
    auto registration = std::make_unique<Registration>();
    registration->owner = this;
    registration->name = name;
    // The right to change the configuration is what the deletion check
    // needs; without it the service is watched all the same.
    registration->service.reset(
        ::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
    registration->canCheckDeletion = static_cast<bool>(registration->service);
    if (!registration->service) {
        registration->service.reset(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (!registration->service) return ::GetLastError();
    }
    SERVICE_STATUS_PROCESS status{};
    if (!queryStatus(registration->service.get(), status)) return ::GetLastError();
    const DWORD error = registerNext(*registration, status.dwCurrentState);
    if (error != 0) return error;
    if (status.dwCurrentState == SERVICE_STOPPED) registration->deletionChecks = kDeletionChecksAfterStop;
    if (current) *current = status;
    active_[key] = std::move(registration);
    return 0;
}

DWORD ServiceStatusWatcher::registerNext(Registration& registration, DWORD currentState) {
    registration.state = currentState;
    registration.notify = SERVICE_NOTIFYW{};
    registration.notify.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    registration.notify.pfnNotifyCallback = &ServiceStatusWatcher::onNotify;
    registration.notify.pContext = &registration;
    const DWORD error = registerFunction(registration.service.get(), maskWithout(currentState), &registration.notify);
    registration.pending = error == ERROR_SUCCESS;
    return error;
}

void CALLBACK ServiceStatusWatcher::onNotify(void* buffer) {
    auto* notify = static_cast<SERVICE_NOTIFYW*>(buffer);
    auto* registration = static_cast<Registration*>(notify->pContext);
    registration->pending = false;
    if (registration->retired) return;
    registration->owner->delivered(*registration);
}

void ServiceStatusWatcher::delivered(Registration& registration) {
    ServiceChange change;
    change.name = registration.name;
    change.status = registration.notify.ServiceStatus;
    change.own = ownDepth_ > 0;
    change.deleted = (registration.notify.dwNotificationTriggered & SERVICE_NOTIFY_DELETE_PENDING) != 0 ||
                     registration.notify.dwNotificationStatus == ERROR_SERVICE_MARKED_FOR_DELETE;
    if (change.own) registration.changedWhileOwn = true;
    const DWORD state = change.status.dwCurrentState;
    if (state == SERVICE_STOPPED) registration.deletionChecks = kDeletionChecksAfterStop;
    if (change.deleted) {
        retire(registration.name);
    } else if (registration.notify.dwNotificationStatus != ERROR_SUCCESS || registerNext(registration, state) != 0) {
        // Nothing more will come for this service: the timer's refresh is
        // all that is left for it.
        retire(registration.name);
        if (registration.notify.dwNotificationStatus != ERROR_SUCCESS) return;
    }
    queue(std::move(change));
}

void ServiceStatusWatcher::queue(ServiceChange change) {
    changes_.push_back(std::move(change));
    if (wake_) wake_();
}

void ServiceStatusWatcher::retire(const std::wstring& name) {
    auto found = active_.find(keyOf(name));
    if (found == active_.end()) return;
    found->second->retired = true;
    found->second->service.reset();
    retired_.emplace_back(::GetTickCount64(), std::move(found->second));
    active_.erase(found);
}

void ServiceStatusWatcher::freeRetired() {
    if (retired_.empty()) return;
    runQueuedCallbacks();
    const ULONGLONG now = ::GetTickCount64();
    retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                  [now](const auto& entry) { return now - entry.first > kRetiredKeepMs; }),
                   retired_.end());
}

void ServiceStatusWatcher::unwatch(const std::wstring& name) {
    retire(name);
}

bool ServiceStatusWatcher::watching(const std::wstring& name) const {
    return active_.count(keyOf(name)) != 0;
}

std::vector<std::wstring> ServiceStatusWatcher::watched() const {
    std::vector<std::wstring> names;
    for (const auto& entry : active_) names.push_back(entry.second->name);
    return names;
}

std::vector<ServiceChange> ServiceStatusWatcher::takeChanges() {
    freeRetired();
    return std::exchange(changes_, {});
}

void ServiceStatusWatcher::endOwnChanges() {
    if (ownDepth_ > 1) {
        --ownDepth_;
        return;
    }
    // The callbacks queued during the scope still belong to it.
    runQueuedCallbacks();
    std::vector<std::wstring> changed;
    for (auto& entry : active_) {
        Registration& registration = *entry.second;
        SERVICE_STATUS_PROCESS status{};
        const bool known = queryStatus(registration.service.get(), status);
        if (registration.changedWhileOwn || !registration.pending || !known ||
            status.dwCurrentState != registration.state)
            changed.push_back(registration.name);
    }
    for (const std::wstring& name : changed) {
        retire(name);
        ServiceChange change;
        change.name = name;
        change.own = true;
        const DWORD error = watch(name, &change.status);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) change.deleted = true;
        else if (error != 0) continue;
        changes_.push_back(std::move(change));
    }
    ownDepth_ = 0;
    if (wake_) wake_();
}

bool ServiceStatusWatcher::deletionChecksDue() const {
    for (const auto& entry : active_)
        if (entry.second->canCheckDeletion && entry.second->deletionChecks > 0) return true;
    return false;
}

void ServiceStatusWatcher::checkDeletions(bool all) {
    std::vector<std::wstring> deleted;
    for (auto& entry : active_) {
        Registration& registration = *entry.second;
        if (!registration.canCheckDeletion || registration.state != SERVICE_STOPPED) continue;
        if (!all && registration.deletionChecks <= 0) continue;
        if (registration.deletionChecks > 0) --registration.deletionChecks;
        // A configuration change that changes nothing is refused for a
        // service marked for deletion, and only for one.
        if (!::ChangeServiceConfigW(registration.service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                    SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr) &&
            ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE)
            deleted.push_back(registration.name);
    }
    for (const std::wstring& name : deleted) {
        retire(name);
        ServiceChange change;
        change.name = name;
        change.status.dwCurrentState = SERVICE_STOPPED;
        change.deleted = true;
        change.own = ownDepth_ > 0;
        queue(std::move(change));
    }
}
