// The monitor's live view of the services: the tray icon and the tree rows
// follow the service manager's change notifications as they arrive, and a
// service that stops without a command of this monitor is announced.
//
// "quarnsrv" is watched for the life of the object; the catalogue's services
// while the dialog shows them. Where the manager refuses notifications, the
// dialog's timer alone keeps the icon current, as it always does.
// Lives on the entry thread, next to the dialog and the icon it updates.
#pragma once

#include "app/stop_announcer.h"
#include "diagnostics/handles.h"
#include "services/service_status_watcher.h"

#include <map>
#include <string>

class ControlDlg;
class TrayIcon;

class LiveServiceState {
public:
    LiveServiceState(ControlDlg& dialog, TrayIcon& icon);
    ~LiveServiceState();
    LiveServiceState(const LiveServiceState&) = delete;
    LiveServiceState& operator=(const LiveServiceState&) = delete;

    // Registers for "quarnsrv". A refused registration (other than for a
    // missing service) turns notifications off for the process, with one
    // Info line in the product log.
    void start();
    // Watches the catalogue's services while the dialog is visible and
    // releases them when it is not. Called after every rebuild of the tree
    // and when the dialog is hidden.
    void followCatalogue();

    // False once a registration has been refused.
    bool live() const { return live_; }
    ServiceStatusWatcher& watcher() { return watcher_; }
    StopAnnouncer& announcer() { return announcer_; }

    // Marks what happens during a command of this monitor as its own, so
    // that the stops it makes are not announced. `state` may be null. A
    // command ends it before its closing box: while a box waits for the
    // user, changes from outside are not the command's.
    class OwnCommand {
    public:
        explicit OwnCommand(LiveServiceState* state) : state_(state) {
            if (state_) state_->watcher_.beginOwnChanges();
        }
        ~OwnCommand() { end(); }
        void end() {
            if (state_) state_->watcher_.endOwnChanges();
            state_ = nullptr;
        }
        OwnCommand(const OwnCommand&) = delete;
        OwnCommand& operator=(const OwnCommand&) = delete;

    private:
        LiveServiceState* state_;
    };

private:
    // Modal loops (message boxes, the tray menu) wait without being
    // alertable. They pass each message to the thread's message-filter
    // hooks: the first one starts a timer that lets the queued
    // notifications in, for as long as such messages keep coming.
    static LRESULT CALLBACK messageFilter(int code, WPARAM wParam, LPARAM lParam);
    void modalLoopMessage();
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void onWake();
    void onTimer(UINT_PTR id);
    void apply(const ServiceChange& change);
    void showTrayState(const ServiceChange& change);
    void showRow(const ServiceChange& change);
    void noteState(const ServiceChange& change);
    void registrationRefused(const std::wstring& name, DWORD error);
    void scheduleChecks();

    ControlDlg& dialog_;
    TrayIcon& icon_;
    HWND window_ = nullptr;
    bool wakePosted_ = false;
    bool live_ = true;
    bool checksRunning_ = false;
    unsigned checkRounds_ = 0;
    bool modalTimer_ = false;
    ULONGLONG lastModalMessage_ = 0;
    UniqueHook filter_;
    ServiceStatusWatcher watcher_;
    StopAnnouncer announcer_;
    // By lower-case name: the last state seen, and whether the service left
    // the running state unexpectedly and has not reached STOPPED yet.
    std::map<std::wstring, DWORD> states_;
    std::map<std::wstring, bool> stopping_;
};
