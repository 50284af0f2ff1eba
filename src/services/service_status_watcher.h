// Status-change notifications of the service control manager for a set of
// services, kept by name.
//
// A registration is made with NotifyServiceStatusChangeW on a service handle
// the watcher keeps open. The manager delivers it as an APC to the thread
// that registered, and only while that thread waits alertably; each
// registration fires once. The callback only copies what it was given and
// wakes the owner: a service-manager call may itself wait alertably, so one
// made from inside the callback could let a newer notification in before
// the older one is handled. Registering again, closing handles and
// reporting happen in takeChanges(), on the owner's message handler. Every
// object of this class is used on the thread that created it, and only
// there.
//
// An open handle keeps a deleted service in existence (marked for deletion)
// until it is closed, so that a service of the same name cannot be created
// meanwhile. A service being deleted (the manager notifies
// SERVICE_NOTIFY_DELETE_PENDING, or refuses a registration with
// ERROR_SERVICE_MARKED_FOR_DELETE) is released at once and looked for again
// until it is gone or has been created anew; its last state stands
// meanwhile. A registration the manager reports lost is made again the same
// way.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The manager's answer to a client that fell too far behind (Windows 7 and
// later); mingw-w64 does not name it.
#ifndef ERROR_SERVICE_NOTIFY_CLIENT_LAGGING
#define ERROR_SERVICE_NOTIFY_CLIENT_LAGGING 1294L
#endif

struct ServiceChange {
    std::wstring name;
    SERVICE_STATUS_PROCESS status{};
    // The service no longer exists; the watcher has released it.
    bool deleted = false;
    // The registration was lost (error in `error`): `status` holds the last
    // state known, and the watcher is looking for the service again, which
    // it reports with a change of the state it then finds.
    bool lost = false;
    DWORD error = 0;
    // Reported while the service's own-change scope was open, or found at
    // its end (the state the scope left behind).
    bool own = false;
};

class ServiceStatusWatcher {
public:
    // Called from inside the notification callback (an APC) each time a
    // notification arrives: must not block nor call back into the watcher.
    using Wake = std::function<void()>;
    using RegisterFunction = DWORD(WINAPI*)(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW buffer);

    // Periods of lookAgain() for a service released or lost: the first
    // kQuickLooks looks come every kQuickLookMs, the next every kSlowLookMs.
    static constexpr DWORD kQuickLookMs = 1000;
    static constexpr int kQuickLooks = 10;
    static constexpr DWORD kSlowLookMs = 10000;

    explicit ServiceStatusWatcher(Wake wake);
    // Releases every registration (closing a service handle cancels its
    // pending notification) and runs the callbacks queued already, which
    // then find their registration released.
    ~ServiceStatusWatcher();
    ServiceStatusWatcher(const ServiceStatusWatcher&) = delete;
    ServiceStatusWatcher& operator=(const ServiceStatusWatcher&) = delete;

    // Opens the service and registers for its next change. Returns 0, or the
    // platform's error (ERROR_SERVICE_DOES_NOT_EXIST, ERROR_ACCESS_DENIED,
    // ERROR_CALL_NOT_IMPLEMENTED...), in which case nothing is kept. A
    // service being deleted answers 0 and is kept released, looked for
    // again. A service watched already answers 0. `current`, when given,
    // receives the status found on success (for a service watched already,
    // only its last known state).
    DWORD watch(const std::wstring& name, SERVICE_STATUS_PROCESS* current = nullptr);
    // Releases the service's registration; nothing when it is not watched.
    void unwatch(const std::wstring& name);
    // True for a service registered, and for one released for the time
    // being (being deleted, or its registration lost).
    bool watching(const std::wstring& name) const;
    std::vector<std::wstring> watched() const;

    // Handles the notifications delivered since the last call (registering
    // again, releasing) and returns the changes, oldest first. Runs the
    // callbacks already queued first, so it must not be called from inside
    // one.
    std::vector<ServiceChange> takeChanges();

    // Changes of `name` that this program causes: what is delivered for it
    // while its scope is open is marked `own`. Scopes of one name nest. The
    // outermost end first handles the notifications queued already, then,
    // if the service changed meanwhile, registers it afresh (so that a
    // notification still under way for the old registration is dropped) and
    // reports its state as an own change.
    void beginOwnChange(const std::wstring& name);
    void endOwnChange(const std::wstring& name);
    // While an operation goes along a dependency chain, which names only
    // the service it was asked for: what is delivered for any service is
    // marked `own`. The outermost end first takes in the notifications
    // queued already. Scopes nest.
    void beginOwnChain() { ++chainDepth_; }
    void endOwnChain();
    bool ownChangesOpen() const { return !own_.empty() || chainDepth_ > 0; }

    // Looks again for the services released or lost whose time has come,
    // and (under Wine, which never notifies a deletion) asks whether stopped
    // services have been marked for deletion. What it finds is queued for
    // takeChanges().
    void lookAgain();
    // Under Wine: asks every watched service now whether it has been marked
    // for deletion. Nothing elsewhere.
    void probeDeletions();
    // Milliseconds until lookAgain() has something to do; INFINITE when
    // nothing is due.
    DWORD nextLookMs() const;

    // The registration call; replaceable so that a system without it, a
    // refused registration or a failure the manager reports can be
    // exercised. Returns the previous one.
    static RegisterFunction setRegisterFunction(RegisterFunction function);

private:
    struct Registration;
    // What a callback copied, handled by takeChanges().
    struct Delivery {
        std::wstring key;
        unsigned serial = 0;
        DWORD result = 0;
        DWORD triggered = 0;
        SERVICE_STATUS_PROCESS status{};
        bool own = false;
    };

    static void CALLBACK onNotify(void* buffer);
    void handleDeliveries();
    void handle(const Delivery& delivery);
    std::unique_ptr<Registration> open(const std::wstring& name, SERVICE_STATUS_PROCESS& status, DWORD& error);
    DWORD registerNext(Registration& registration, DWORD currentState);
    void release(Registration& registration, bool beingDeleted);
    void registrationFailed(Registration& registration, DWORD error);
    void attachAgain(const std::wstring& key);
    void renewManager();
    void retire(const std::wstring& key);
    void freeRetired();
    void queue(ServiceChange change);

    Wake wake_;
    UniqueServiceHandle manager_;
    unsigned serials_ = 0;
    bool renewing_ = false;
    // Under Wine: when every stopped service is next asked for deletion.
    ULONGLONG nextSlowProbe_ = 0;
    std::map<std::wstring, std::unique_ptr<Registration>> active_;
    // Released registrations, kept a while in case a callback queued
    // before the release still arrives.
    std::vector<std::pair<ULONGLONG, std::unique_ptr<Registration>>> retired_;
    std::vector<Delivery> deliveries_;
    std::vector<ServiceChange> changes_;
    // Open own-change scopes by lower-case name, and of chains.
    std::map<std::wstring, int> own_;
    int chainDepth_ = 0;
};
