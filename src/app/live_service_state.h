// The monitor's live view of the services: the tray icon and the tree rows
// follow the service manager's change notifications as they arrive, and a
// service that stops without a command of this monitor is logged and
// announced.
//
// "quarnsrv" and every service of the catalogue are watched for the whole
// run, whether the dialog is shown or not. Where the manager refuses
// notifications, the dialog's timer alone keeps the icon current, as it
// always does. Lives on the entry thread, next to the dialog and the icon it
// updates.
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

    // Registers for "quarnsrv", then for the catalogue's services. A refused
    // registration (other than for a service missing or being deleted)
    // turns notifications off for the process, with one Info line in the
    // product log. Called once the tray icon is shown.
    void start();
    // Watches every service of the dialog's current catalogue and releases
    // those no longer in it. Called after every rebuild of the tree.
    void followCatalogue();
    // Lets go of the watched services deleted meanwhile where the manager
    // does not say so itself, so that the catalogue about to be built does
    // not find them held in existence. Called before every rebuild.
    void releaseDeleted();

    // False once a registration has been refused.
    bool live() const { return live_; }
    ServiceStatusWatcher& watcher() { return watcher_; }
    StopAnnouncer& announcer() { return announcer_; }

    // The services a command of this monitor acts on, whose changes are
    // therefore its own: they are not announced. Only the services named to
    // acting(), and only until the next acting() or end(); a command ends
    // it before it shows a box, so that what happens while the box waits is
    // not the command's. `state` may be null.
    class OwnChanges {
    public:
        explicit OwnChanges(LiveServiceState* state) : state_(state) {}
        ~OwnChanges() { end(); }
        OwnChanges(const OwnChanges&) = delete;
        OwnChanges& operator=(const OwnChanges&) = delete;

        // The command now starts or stops `service`; what it acted on
        // before is done. With `withChain`, the operation also goes along
        // the service's dependency chain, whose services it does not name:
        // until end(), a change of any service counts as the command's.
        void acting(const std::wstring& service, bool withChain = false);
        void end();
        // A progress callback of service::startStopService whose context is
        // an OwnChanges: each stage names the service acted on, and
        // "gathering dependencies" opens its chain.
        static int progress(int stage, const wchar_t* service, void* context);

    private:
        LiveServiceState* state_;
        std::wstring current_;
        bool chain_ = false;
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
    void postWake();
    void lookForManagement();
    void scheduleChecks();

    ControlDlg& dialog_;
    TrayIcon& icon_;
    HWND window_ = nullptr;
    bool wakePosted_ = false;
    bool live_ = true;
    // "quarnsrv" looked for while it is missing: how often so far, and when
    // next.
    int managementLooks_ = 0;
    ULONGLONG nextManagementLook_ = 0;
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
