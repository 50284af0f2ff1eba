#include "app/control_dlg.h"

#include "app/tray_app.h"
#include "diagnostics/log_manager.h"
#include "resource_ids.h"
#include "services/service_control.h"
#include "services/service_query.h"

#include <cwchar>
#include <utility>

namespace {

constexpr ContextSite kControlServiceSite{"ControlDlg::controlService", 159};

constexpr int kPassLimit = 3;

// Marks a service command as running for the duration of a scope.
class CommandScope {
public:
    explicit CommandScope(bool& running) : running_(running), outer_(running) { running_ = true; }
    ~CommandScope() { running_ = outer_; }
    CommandScope(const CommandScope&) = delete;
    CommandScope& operator=(const CommandScope&) = delete;

private:
    bool& running_;
    bool outer_;
};

// The display name, or the service name when it cannot be read.
std::wstring displayNameOrName(const std::wstring& service) {
    try {
        return service::serviceDisplayName(service);
    } catch (const vexception&) {
        return service;
    }
}

bool namedIn(const std::list<std::wstring>* names, const std::wstring& service) {
    if (!names) return false;
    for (const std::wstring& name : *names)
        if (_wcsicmp(name.c_str(), service.c_str()) == 0) return true;
    return false;
}

}  // namespace

void ControlDlg::controlServices(bool start, bool all, std::list<std::wstring>* extraNames) {
    // The second half of a restart after the session ended in the first.
    if (sessionEnding_) return;
    CommandScope scope(commandRunning_);
    enum class PassResult { Clean, Failed, Aborted };
    auto runPass = [&](bool lastPass) {
        PassResult result = PassResult::Clean;
        for (const auto& group : *catalogue_) {
            for (const auto& entry : group->services) {
                const bool selected = all || isChecked(entry->item) || namedIn(extraNames, entry->name);
                if (!selected) continue;
                // Copied: an abort rebuilds the catalogue under the entry.
                const std::wstring name = entry->name;
                if (controlService(name, start, lastPass, extraNames)) continue;
                if (lastPass) return PassResult::Aborted;
                result = PassResult::Failed;
            }
        }
        return result;
    };
    if (catalogue_ && !catalogue_->empty()) {
        for (int pass = 0; pass < kPassLimit; ++pass)
            if (runPass(pass == kPassLimit - 1) != PassResult::Failed) break;
    }
    if (!sessionEnding_) refreshServices();
}

bool ControlDlg::controlService(const std::wstring& name, bool start, bool lastPass,
                                std::list<std::wstring>* extraNames) {
    try {
        if (service::effStatus(name) == service::EffDisabled) return true;
    } catch (const VServiceDoesNotExistException&) {
        return true;
    }
    while (true) {
        std::wstring failure;
        try {
            startStop(name, start, extraNames);
            return true;
        } catch (VAccessDeniedException& error) {
            error.addContext(kControlServiceSite.entry(L"Unable to make Task Scheduler service started."));
            LogManager::logError(LogWarning, error);
            return true;
        } catch (const vexception& error) {
            if (!lastPass) return false;
            failure = error.fullText();
        }
        const std::wstring caption = (start ? L"Start " : L"Stop ") + displayNameOrName(name);
        errorShown_ = true;
        const int answer =
            ::MessageBoxW(boxOwner(), failure.c_str(), caption.c_str(), MB_ABORTRETRYIGNORE | MB_ICONERROR);
        // WM_ENDSESSION closes the box with neither answer while the session
        // ends: nothing more is started or stopped. The box's loop may have
        // taken the quit request the end of the session posted.
        if (sessionEnding_) {
            ::PostQuitMessage(0);
            return false;
        }
        if (answer == IDRETRY) continue;
        if (answer == IDABORT) {
            refreshServices();
            return false;
        }
        return true;
    }
}

void ControlDlg::startStop(const std::wstring& name, bool start, std::list<std::wstring>* extraNames) {
    // Ends when the engine returns or raises, before any box.
    LiveServiceState::OwnChanges own(owner_->liveState());
    struct Current {
        LiveServiceState::OwnChanges*& slot;
        LiveServiceState::OwnChanges* outer;
        ~Current() { slot = outer; }
    } current{ownChanges_, std::exchange(ownChanges_, &own)};
    service::startStopService(name, start, nullptr, nullptr, &ControlDlg::onServiceProgress, this, extraNames);
}

int ControlDlg::onServiceProgress(int stage, const wchar_t* service, void* context) {
    auto* dialog = static_cast<ControlDlg*>(context);
    LiveServiceState::OwnChanges::progress(stage, service, dialog->ownChanges_);
    const std::wstring shown = displayNameOrName(service);
    std::wstring text;
    switch (stage) {
    case 0: text = L"Build Dependencies for " + shown + L"..."; break;
    case 1: text = L"Starting " + shown + L"..."; break;
    case 2: text = L"Stopping " + shown + L"..."; break;
    default: return 0;
    }
    dialog->setStatus(text);
    dialog->owner_->trayIcon().showTrayText(text);
    return 0;
}

void ControlDlg::restartChecked() {
    std::list<std::wstring> stopped;
    controlServices(false, false, &stopped);
    controlServices(true, false, &stopped);
}

void ControlDlg::restartAll() {
    controlServices(false, true, nullptr);
    owner_->trayIcon().refreshTrayIcon();
    controlServices(true, true, nullptr);
    owner_->trayIcon().refreshTrayIcon();
    refreshServices();
}
