#include "services/service_status_watcher.h"

#include "diagnostics/wine.h"
#include "services/wine_service_manager.h"

#include <algorithm>
#include <cwctype>
#include <utility>

namespace {

// Every state a service can be in.
constexpr DWORD kAllStates = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_START_PENDING | SERVICE_NOTIFY_STOP_PENDING |
                             SERVICE_NOTIFY_RUNNING | SERVICE_NOTIFY_CONTINUE_PENDING |
                             SERVICE_NOTIFY_PAUSE_PENDING | SERVICE_NOTIFY_PAUSED;

// Under Wine, a service that stopped is asked whether it was marked for
// deletion at the quick period for the first looks after the stop, and
// every stopped service at this period afterwards.
constexpr ULONGLONG kWineSlowProbeMs = 60000;
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

DWORD remaining(ULONGLONG at, ULONGLONG now) {
    return at <= now ? 0 : static_cast<DWORD>(std::min<ULONGLONG>(at - now, INFINITE - 1));
}

}  // namespace

struct ServiceStatusWatcher::Registration {
    ServiceStatusWatcher* owner = nullptr;
    std::wstring name;
    std::wstring key;
    // Tells a registration from an earlier one of the same service.
    unsigned serial = 0;
    UniqueServiceHandle service;
    // Handed to the manager: stays at this address while registered.
    SERVICE_NOTIFYW notify{};
    DWORD state = 0;
    bool pending = false;
    bool retired = false;
    // Set while the service's own-change scope is open.
    bool own = false;
    bool changedWhileOwn = false;
    // No handle held: being deleted, or the registration was lost. Looked
    // for again at nextLook.
    bool released = false;
    bool beingDeleted = false;
    int looks = 0;
    ULONGLONG nextLook = 0;
    // Under Wine, with a handle that may change the configuration: the
    // deletion probes left at the quick period, and when the next is due.
    bool canProbe = false;
    int quickProbes = 0;
    ULONGLONG nextProbe = 0;
};

ServiceStatusWatcher::ServiceStatusWatcher(Wake wake)
    : wake_(std::move(wake)), nextSlowProbe_(::GetTickCount64() + kWineSlowProbeMs) {}

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

std::unique_ptr<ServiceStatusWatcher::Registration> ServiceStatusWatcher::open(const std::wstring& name,
                                                                                SERVICE_STATUS_PROCESS& status,
                                                                                DWORD& error) {
    error = 0;
    if (!manager_) {
        manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager_) {
            error = ::GetLastError();
            return nullptr;
        }
    }
    auto registration = std::make_unique<Registration>();
    registration->owner = this;
    registration->name = name;
    registration->key = keyOf(name);
    registration->serial = ++serials_;
    registration->own = own_.count(registration->key) != 0;
    if (runningUnderWine()) {
        // The deletion probe needs the right to change the configuration;
        // without it the service is watched all the same.
        registration->service.reset(
            ::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG));
        registration->canProbe = static_cast<bool>(registration->service);
    }
    if (!registration->service) {
        registration->service.reset(::OpenServiceW(manager_.get(), name.c_str(), SERVICE_QUERY_STATUS));
        if (!registration->service) {
            error = ::GetLastError();
            return nullptr;
        }
    }
    if (!queryStatus(registration->service.get(), status)) {
        error = ::GetLastError();
        return nullptr;
    }
    error = registerNext(*registration, status.dwCurrentState);
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        release(*registration, true);
        return registration;
    }
    if (error == ERROR_SERVICE_NOTIFY_CLIENT_LAGGING && !renewing_) {
        // The connection must be made again; the registrations made through
        // the old one are lagging too.
        registration.reset();
        renewManager();
        return open(name, status, error);
    }
    if (error != 0) return nullptr;
    return registration;
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
    SERVICE_STATUS_PROCESS status{};
    DWORD error = 0;
    std::unique_ptr<Registration> registration = open(name, status, error);
    if (!registration) return error;
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
    // An APC: copy and wake, nothing else (see the header).
    auto* notify = static_cast<SERVICE_NOTIFYW*>(buffer);
    auto* registration = static_cast<Registration*>(notify->pContext);
    registration->pending = false;
    if (registration->retired || registration->released) return;
    if (registration->own) registration->changedWhileOwn = true;
    ServiceStatusWatcher& owner = *registration->owner;
    Delivery delivery;
    delivery.key = registration->key;
    delivery.serial = registration->serial;
    delivery.result = notify->dwNotificationStatus;
    delivery.triggered = notify->dwNotificationTriggered;
    delivery.status = notify->ServiceStatus;
    delivery.own = registration->own || owner.chainDepth_ > 0;
    owner.deliveries_.push_back(std::move(delivery));
    if (owner.wake_) owner.wake_();
}

void ServiceStatusWatcher::handleDeliveries() {
    // A call below may wait alertably and let more callbacks in: they add
    // to a list of their own, handled in the next round.
    while (!deliveries_.empty()) {
        const std::vector<Delivery> batch = std::exchange(deliveries_, {});
        for (const Delivery& delivery : batch) handle(delivery);
    }
}

void ServiceStatusWatcher::handle(const Delivery& delivery) {
    auto found = active_.find(delivery.key);
    if (found == active_.end() || found->second->serial != delivery.serial || found->second->released) return;
    Registration& registration = *found->second;
    if (delivery.result == ERROR_SERVICE_MARKED_FOR_DELETE ||
        (delivery.result == ERROR_SUCCESS && (delivery.triggered & SERVICE_NOTIFY_DELETE_PENDING) != 0)) {
        // Also while it still runs: its last state stands until it is gone.
        release(registration, true);
        return;
    }
    if (delivery.result != ERROR_SUCCESS) {
        registrationFailed(registration, delivery.result);
        return;
    }
    ServiceChange change;
    change.name = registration.name;
    change.status = delivery.status;
    change.own = delivery.own;
    const DWORD state = change.status.dwCurrentState;
    if (state == SERVICE_STOPPED && registration.canProbe) {
        registration.quickProbes = kQuickLooks;
        registration.nextProbe = ::GetTickCount64() + kQuickLookMs;
    }
    queue(std::move(change));
    const DWORD error = registerNext(registration, state);
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE) release(registration, true);
    else if (error != 0) registrationFailed(registration, error);
}

void ServiceStatusWatcher::release(Registration& registration, bool beingDeleted) {
    registration.service.reset();
    registration.pending = false;
    registration.released = true;
    registration.beingDeleted = registration.beingDeleted || beingDeleted;
    registration.looks = 0;
    registration.nextLook = ::GetTickCount64() + kQuickLookMs;
}

void ServiceStatusWatcher::registrationFailed(Registration& registration, DWORD error) {
    ServiceChange change;
    change.name = registration.name;
    change.status.dwCurrentState = registration.state;
    change.lost = true;
    change.error = error;
    change.own = registration.own;
    queue(std::move(change));
    const std::wstring key = registration.key;
    release(registration, false);
    if (error == ERROR_SERVICE_NOTIFY_CLIENT_LAGGING) renewManager();
    else attachAgain(key);
}

void ServiceStatusWatcher::renewManager() {
    if (renewing_) return;
    renewing_ = true;
    std::vector<std::wstring> keys;
    for (auto& entry : active_) {
        if (!entry.second->released) release(*entry.second, false);
        keys.push_back(entry.first);
    }
    manager_.reset();
    for (const std::wstring& key : keys) attachAgain(key);
    renewing_ = false;
}

void ServiceStatusWatcher::attachAgain(const std::wstring& key) {
    auto found = active_.find(key);
    if (found == active_.end()) return;
    Registration& old = *found->second;
    SERVICE_STATUS_PROCESS status{};
    DWORD error = 0;
    std::unique_ptr<Registration> fresh = open(old.name, status, error);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        ServiceChange change;
        change.name = old.name;
        change.status.dwCurrentState = SERVICE_STOPPED;
        change.deleted = true;
        change.own = old.own;
        retire(key);
        queue(std::move(change));
        return;
    }
    if (!fresh || error != 0) {
        // Still there and marked for deletion, or refused for now.
        ++old.looks;
        old.nextLook = ::GetTickCount64() + (old.looks < kQuickLooks ? kQuickLookMs : kSlowLookMs);
        return;
    }
    const bool createdAnew = old.beingDeleted;
    ServiceChange change;
    change.name = old.name;
    change.status = status;
    change.own = fresh->own;
    retire(key);
    active_[key] = std::move(fresh);
    if (createdAnew) {
        // The service that was being deleted is gone: this is another.
        ServiceChange gone;
        gone.name = change.name;
        gone.status.dwCurrentState = SERVICE_STOPPED;
        gone.deleted = true;
        gone.own = change.own;
        queue(std::move(gone));
    }
    queue(std::move(change));
}

void ServiceStatusWatcher::queue(ServiceChange change) {
    changes_.push_back(std::move(change));
}

void ServiceStatusWatcher::retire(const std::wstring& key) {
    auto found = active_.find(key);
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
    retire(keyOf(name));
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
    runQueuedCallbacks();
    handleDeliveries();
    freeRetired();
    return std::exchange(changes_, {});
}

void ServiceStatusWatcher::beginOwnChange(const std::wstring& name) {
    const std::wstring key = keyOf(name);
    ++own_[key];
    if (auto found = active_.find(key); found != active_.end()) found->second->own = true;
}

void ServiceStatusWatcher::endOwnChange(const std::wstring& name) {
    const std::wstring key = keyOf(name);
    auto scope = own_.find(key);
    if (scope == own_.end()) return;
    if (--scope->second > 0) return;
    // The callbacks queued during the scope still belong to it.
    runQueuedCallbacks();
    own_.erase(scope);
    if (auto found = active_.find(key); found != active_.end()) found->second->own = false;
    handleDeliveries();
    auto found = active_.find(key);
    if (found != active_.end() && !found->second->released) {
        Registration& registration = *found->second;
        SERVICE_STATUS_PROCESS status{};
        const bool known = queryStatus(registration.service.get(), status);
        const bool changed = registration.changedWhileOwn || !registration.pending || !known ||
                             status.dwCurrentState != registration.state;
        registration.changedWhileOwn = false;
        if (changed) {
            // Afresh, and what the scope left behind reported as its own.
            const std::wstring name = registration.name;
            release(registration, false);
            SERVICE_STATUS_PROCESS fresh{};
            DWORD error = 0;
            std::unique_ptr<Registration> replacement = open(name, fresh, error);
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                retire(key);
                ServiceChange change;
                change.name = name;
                change.status.dwCurrentState = SERVICE_STOPPED;
                change.deleted = true;
                change.own = true;
                queue(std::move(change));
            } else if (replacement) {
                retire(key);
                active_[key] = std::move(replacement);
                if (error == 0) {
                    ServiceChange change;
                    change.name = name;
                    change.status = fresh;
                    change.own = true;
                    queue(std::move(change));
                }
            }
            // Otherwise it stays released and is looked for again.
        }
    }
    if (wake_) wake_();
}

void ServiceStatusWatcher::endOwnChain() {
    if (chainDepth_ == 0) return;
    // The callbacks queued during the scope still belong to it.
    if (chainDepth_ == 1) runQueuedCallbacks();
    --chainDepth_;
    if (chainDepth_ == 0 && wake_) wake_();
}

DWORD ServiceStatusWatcher::nextLookMs() const {
    const ULONGLONG now = ::GetTickCount64();
    DWORD next = INFINITE;
    bool stopped = false;
    for (const auto& entry : active_) {
        const Registration& registration = *entry.second;
        if (registration.released) {
            next = std::min(next, remaining(registration.nextLook, now));
        } else if (registration.canProbe && registration.state == SERVICE_STOPPED) {
            stopped = true;
            if (registration.quickProbes > 0) next = std::min(next, remaining(registration.nextProbe, now));
        }
    }
    if (stopped) next = std::min(next, remaining(nextSlowProbe_, now));
    return next;
}

void ServiceStatusWatcher::lookAgain() {
    const ULONGLONG now = ::GetTickCount64();
    const bool slowRound = now >= nextSlowProbe_;
    if (slowRound) nextSlowProbe_ = now + kWineSlowProbeMs;
    std::vector<std::wstring> keys;
    for (const auto& entry : active_) keys.push_back(entry.first);
    for (const std::wstring& key : keys) {
        auto found = active_.find(key);
        if (found == active_.end()) continue;
        Registration& registration = *found->second;
        if (registration.released) {
            if (now >= registration.nextLook) attachAgain(key);
            continue;
        }
        if (!registration.canProbe || registration.state != SERVICE_STOPPED) continue;
        const bool quick = registration.quickProbes > 0 && now >= registration.nextProbe;
        if (!quick && !(slowRound && registration.quickProbes == 0)) continue;
        if (quick) {
            --registration.quickProbes;
            registration.nextProbe = now + kQuickLookMs;
        }
        if (wine_service_manager::markedForDeletion(registration.service.get())) {
            release(registration, true);
            attachAgain(key);
        }
    }
}

void ServiceStatusWatcher::probeDeletions() {
    std::vector<std::wstring> keys;
    for (const auto& entry : active_) keys.push_back(entry.first);
    for (const std::wstring& key : keys) {
        auto found = active_.find(key);
        if (found == active_.end()) continue;
        Registration& registration = *found->second;
        if (registration.released || !registration.canProbe) continue;
        if (wine_service_manager::markedForDeletion(registration.service.get())) {
            release(registration, true);
            attachAgain(key);
        }
    }
}
