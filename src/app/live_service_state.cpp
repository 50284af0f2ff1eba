#include "app/live_service_state.h"

#include "app/control_dlg.h"
#include "app/tray_icon.h"
#include "diagnostics/log_manager.h"
#include "diagnostics/text.h"
#include "services/service_control.h"
#include "services/service_query.h"

#include <algorithm>
#include <cwctype>
#include <set>

namespace {

const wchar_t kManagementService[] = L"quarnsrv";
const wchar_t kWindowClass[] = L"QuarnLiveServiceState";

// Posted to the object's window by the notification callback.
constexpr UINT kWakeMessage = WM_APP + 1;
// Looks for "quarnsrv" while it is missing, and for the services the
// watcher looks for again; set for the next of them that is due.
constexpr UINT_PTR kCheckTimer = 1;
// Takes the changes that came while a command acted on its services.
constexpr UINT_PTR kDeferredTimer = 4;
constexpr UINT kDeferredPeriodMs = 200;
// Ends the gathering period of the stop announcer.
constexpr UINT_PTR kGatherTimer = 2;
// Runs the queued notifications while a modal loop waits; stops once no
// message of a modal loop has come for kModalGoneMs.
constexpr UINT_PTR kModalTimer = 3;
constexpr UINT kModalPeriodMs = 200;
constexpr ULONGLONG kModalGoneMs = 1000;

std::wstring keyOf(const std::wstring& name) {
    std::wstring key = name;
    std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return key;
}

bool isManagement(const std::wstring& name) {
    return _wcsicmp(name.c_str(), kManagementService) == 0;
}

// The states in which the monitor shows a service as started.
bool isActive(DWORD state) {
    return state == SERVICE_START_PENDING || state == SERVICE_RUNNING || state == SERVICE_CONTINUE_PENDING;
}

// The states a service is in between a start and a stop.
bool isUp(DWORD state) {
    return state == SERVICE_RUNNING || state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING ||
           state == SERVICE_CONTINUE_PENDING;
}

// The effective status for a notified state: the startup type is asked for
// only for an inactive service. Any product error counts as disabled.
int effectiveStatus(const ServiceChange& change) {
    if (change.deleted) return service::EffDisabled;
    if (isActive(change.status.dwCurrentState)) return service::EffActive;
    try {
        return service::serviceStartupType(change.name) == SERVICE_DISABLED ? service::EffDisabled
                                                                            : service::EffStartable;
    } catch (const vexception&) {
        return service::EffDisabled;
    }
}

// The object of this thread whose message filter is installed.
thread_local LiveServiceState* filtering = nullptr;

ATOM registerWindowClass(WNDPROC procedure) {
    static const ATOM atom = [procedure] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = procedure;
        windowClass.hInstance = ::GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClass;
        return ::RegisterClassExW(&windowClass);
    }();
    return atom;
}

}  // namespace

LiveServiceState::LiveServiceState(ControlDlg& dialog, TrayIcon& icon)
    : dialog_(dialog),
      icon_(icon),
      // PostMessage only: the callback may run inside any alertable wait of
      // this thread, in the middle of a command.
      watcher_([this] { postWake(); }),
      announcer_(icon) {
    registerWindowClass(&LiveServiceState::windowProc);
    // A message-only window: it receives posted messages and timers, and no
    // broadcast.
    window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    if (window_) ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!filtering) {
        filter_.reset(::SetWindowsHookExW(WH_MSGFILTER, &LiveServiceState::messageFilter, nullptr,
                                          ::GetCurrentThreadId()));
        if (filter_) filtering = this;
    }
}

LiveServiceState::~LiveServiceState() {
    if (filtering == this) filtering = nullptr;
    filter_.reset();
    if (window_) ::DestroyWindow(window_);
}

LRESULT CALLBACK LiveServiceState::messageFilter(int code, WPARAM wParam, LPARAM lParam) {
    if (code >= 0 && filtering) filtering->modalLoopMessage();
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK LiveServiceState::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<LiveServiceState*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || (message != kWakeMessage && message != WM_TIMER))
        return ::DefWindowProcW(window, message, wParam, lParam);
    // Nothing may leave a window procedure: what fails is logged, and the
    // timer's refresh stays as the fallback.
    try {
        if (message == kWakeMessage) self->onWake();
        else self->onTimer(wParam);
    } catch (const vexception& error) {
        LogManager::logError(LogWarning, error);
    } catch (const std::exception& error) {
        LogManager::print(LogWarning, L"Live service state: %s", wstr(error.what()).c_str());
    }
    return 0;
}

void LiveServiceState::start() {
    SERVICE_STATUS_PROCESS status{};
    const DWORD error = watcher_.watch(kManagementService, &status);
    if (error == 0) {
        states_[keyOf(kManagementService)] = status.dwCurrentState;
    } else if (error != ERROR_SERVICE_DOES_NOT_EXIST && error != ERROR_SERVICE_MARKED_FOR_DELETE) {
        registrationRefused(kManagementService, error);
        live_ = false;
        return;
    }
    followCatalogue();
}

void LiveServiceState::registrationRefused(const std::wstring& name, DWORD error) {
    static bool logged = false;
    if (logged) return;
    logged = true;
    LogManager::print(LogInfo,
                      L"Service change notifications are not available for %s (error %lu: %s); the service state "
                      L"is read every 10 seconds",
                      name.c_str(), error, systemErrorText(error).c_str());
}

void LiveServiceState::followCatalogue() {
    if (!live_) return;
    std::map<std::wstring, std::wstring> wanted;
    if (const ServiceGroups* catalogue = dialog_.catalogue()) {
        for (const auto& group : *catalogue)
            for (const auto& entry : group->services) wanted[keyOf(entry->name)] = entry->name;
    }
    for (const std::wstring& name : watcher_.watched()) {
        const std::wstring key = keyOf(name);
        if (isManagement(name) || wanted.count(key)) continue;
        watcher_.unwatch(name);
        states_.erase(key);
        stopping_.erase(key);
    }
    for (const auto& [key, name] : wanted) {
        if (watcher_.watching(name)) continue;
        SERVICE_STATUS_PROCESS status{};
        const DWORD error = watcher_.watch(name, &status);
        if (error == 0) states_[key] = status.dwCurrentState;
        else if (error != ERROR_SERVICE_DOES_NOT_EXIST && error != ERROR_SERVICE_MARKED_FOR_DELETE)
            registrationRefused(name, error);
    }
    postWake();
    scheduleChecks();
}

void LiveServiceState::releaseDeleted() {
    if (!live_) return;
    watcher_.probeDeletions();
    postWake();
}

void LiveServiceState::postWake() {
    if (wakePosted_ || !window_) return;
    wakePosted_ = ::PostMessageW(window_, kWakeMessage, 0, 0) != FALSE;
}

void LiveServiceState::onWake() {
    wakePosted_ = false;
    // While a command acts on a service, its changes are taken when it is
    // done with it.
    if (watcher_.ownChangesOpen()) {
        ::SetTimer(window_, kDeferredTimer, kDeferredPeriodMs, nullptr);
        return;
    }
    for (const ServiceChange& change : watcher_.takeChanges()) apply(change);
    scheduleChecks();
}

void LiveServiceState::apply(const ServiceChange& change) {
    if (change.lost) {
        // The watcher registers again and reports the state it then finds.
        LogManager::print(LogInfo, L"Service change notifications for %s were interrupted (error %lu: %s)",
                          change.name.c_str(), change.error, systemErrorText(change.error).c_str());
        return;
    }
    noteState(change);
    if (isManagement(change.name)) showTrayState(change);
    showRow(change);
}

void LiveServiceState::noteState(const ServiceChange& change) {
    const std::wstring key = keyOf(change.name);
    const DWORD state = change.status.dwCurrentState;
    const DWORD previous = states_.count(key) ? states_[key] : 0;
    if (change.deleted) states_.erase(key);
    else states_[key] = state;
    if (change.own) {
        stopping_.erase(key);
        return;
    }
    if (isUp(previous) && (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED)) stopping_[key] = true;
    if (state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING) stopping_.erase(key);
    if (state != SERVICE_STOPPED || !stopping_.count(key)) return;
    stopping_.erase(key);

    UnexpectedStop stop;
    stop.name = change.name;
    stop.win32ExitCode = change.status.dwWin32ExitCode;
    stop.specificExitCode = change.status.dwServiceSpecificExitCode;
    if (const ServiceGroups* catalogue = dialog_.catalogue()) {
        for (const auto& group : *catalogue)
            for (const auto& entry : group->services)
                if (_wcsicmp(entry->name.c_str(), change.name.c_str()) == 0) stop.displayName = entry->displayName;
    }
    if (stop.displayName.empty()) {
        try {
            stop.displayName = service::serviceDisplayName(change.name);
        } catch (const vexception&) {
            // The service name stands in for the display name.
        }
    }
    if (announcer_.announce(stop) && window_) ::SetTimer(window_, kGatherTimer, StopAnnouncer::kGatheringMs, nullptr);
}

void LiveServiceState::showTrayState(const ServiceChange& change) {
    TrayState state = TrayDisabled;
    switch (effectiveStatus(change)) {
    case service::EffActive: state = TrayStarted; break;
    case service::EffStartable: state = TrayStopped; break;
    default: break;
    }
    // What a command left behind is shown only where it is not shown yet.
    if (change.own && icon_.lastState() == state) return;
    icon_.updateTrayIcon(state, TrayIcon::stateText(state));
}

void LiveServiceState::showRow(const ServiceChange& change) {
    const ServiceGroups* catalogue = dialog_.catalogue();
    if (!catalogue) return;
    for (const auto& group : *catalogue) {
        for (const auto& entry : group->services) {
            if (_wcsicmp(entry->name.c_str(), change.name.c_str()) != 0 || !entry->item) continue;
            TVITEMW item{};
            item.mask = TVIF_HANDLE | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
            item.hItem = entry->item;
            item.iImage = item.iSelectedImage = effectiveStatus(change);
            ::SendMessageW(dialog_.tree(), TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        }
    }
}

void LiveServiceState::scheduleChecks() {
    if (!live_ || !window_) return;
    DWORD next = watcher_.nextLookMs();
    if (!watcher_.watching(kManagementService)) {
        const ULONGLONG now = ::GetTickCount64();
        next = std::min<DWORD>(next, nextManagementLook_ <= now ? 0 : static_cast<DWORD>(nextManagementLook_ - now));
    }
    if (next == INFINITE) ::KillTimer(window_, kCheckTimer);
    else ::SetTimer(window_, kCheckTimer, std::max<DWORD>(next, USER_TIMER_MINIMUM), nullptr);
}

void LiveServiceState::lookForManagement() {
    const ULONGLONG now = ::GetTickCount64();
    if (watcher_.watching(kManagementService)) {
        managementLooks_ = 0;
        return;
    }
    if (now < nextManagementLook_) return;
    ServiceChange change;
    change.name = kManagementService;
    if (watcher_.watch(kManagementService, &change.status) == 0) {
        managementLooks_ = 0;
        apply(change);
        return;
    }
    ++managementLooks_;
    nextManagementLook_ = now + (managementLooks_ < ServiceStatusWatcher::kQuickLooks
                                     ? ServiceStatusWatcher::kQuickLookMs
                                     : ServiceStatusWatcher::kSlowLookMs);
}

void LiveServiceState::modalLoopMessage() {
    lastModalMessage_ = ::GetTickCount64();
    if (modalTimer_ || !live_ || !window_) return;
    modalTimer_ = ::SetTimer(window_, kModalTimer, kModalPeriodMs, nullptr) != 0;
}

void LiveServiceState::onTimer(UINT_PTR id) {
    if (id == kModalTimer) {
        if (::GetTickCount64() - lastModalMessage_ > kModalGoneMs) {
            ::KillTimer(window_, kModalTimer);
            modalTimer_ = false;
            return;
        }
        // The callbacks post their wake-up, which the modal loop dispatches.
        while (::SleepEx(0, TRUE) == WAIT_IO_COMPLETION) {
        }
        return;
    }
    if (id == kGatherTimer) {
        ::KillTimer(window_, kGatherTimer);
        announcer_.showGathered();
        return;
    }
    if (id == kDeferredTimer) {
        ::KillTimer(window_, kDeferredTimer);
        onWake();
        return;
    }
    if (id != kCheckTimer) return;
    ::KillTimer(window_, kCheckTimer);
    if (watcher_.ownChangesOpen()) {
        ::SetTimer(window_, kCheckTimer, kDeferredPeriodMs, nullptr);
        return;
    }
    lookForManagement();
    watcher_.lookAgain();
    for (const ServiceChange& change : watcher_.takeChanges()) apply(change);
    scheduleChecks();
}

void LiveServiceState::OwnChanges::acting(const std::wstring& service, bool withChain) {
    if (!state_) return;
    ServiceStatusWatcher& watcher = state_->watcher_;
    // Begun before the old one ends, so that a service of both stays open.
    watcher.beginOwnChange(service);
    if (!current_.empty()) watcher.endOwnChange(current_);
    current_ = service;
    if (withChain && !chain_) {
        watcher.beginOwnChain();
        chain_ = true;
    }
}

void LiveServiceState::OwnChanges::end() {
    if (!state_) return;
    if (!current_.empty()) state_->watcher_.endOwnChange(std::exchange(current_, {}));
    if (chain_) {
        state_->watcher_.endOwnChain();
        chain_ = false;
    }
}

int LiveServiceState::OwnChanges::progress(int stage, const wchar_t* service, void* context) {
    auto* own = static_cast<OwnChanges*>(context);
    if (!own || !service) return 0;
    switch (stage) {
    case service::StageGatherDependencies: own->acting(service, true); break;
    case service::StageStarting:
    case service::StageStopping: own->acting(service); break;
    default: break;
    }
    return 0;
}
