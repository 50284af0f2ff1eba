// Status-change notifications of the service control manager for a set of
// services, kept by name.
//
// A registration is made with NotifyServiceStatusChangeW on a service handle
// the watcher keeps open. The manager delivers it as an APC to the thread
// that registered, and only while that thread waits alertably; each
// registration fires once, so the watcher registers again from inside the
// callback, for every state but the one just reported. Every object of this
// class is used on the thread that created it, and only there.
//
// An open handle keeps a deleted service in existence (marked for deletion)
// until it is closed, so that a service of the same name cannot be created
// meanwhile: a service found deleted is released at once.
#pragma once

#include "diagnostics/handles.h"
#include "diagnostics/win32.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ServiceChange {
    std::wstring name;
    SERVICE_STATUS_PROCESS status{};
    // The service is marked for deletion; the watcher has released it.
    bool deleted = false;
    // Reported while an own-changes scope was open, or found at the end of
    // one (the state the scope left behind).
    bool own = false;
};

class ServiceStatusWatcher {
public:
    // Called from inside the notification callback (an APC) each time a
    // change is queued: must not block nor call back into the watcher.
    using Wake = std::function<void()>;
    using RegisterFunction = DWORD(WINAPI*)(SC_HANDLE service, DWORD mask, PSERVICE_NOTIFYW buffer);

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
    // service watched already answers 0. `current`, when given, receives the
    // status found on success (for a service watched already, only its last
    // known state).
    DWORD watch(const std::wstring& name, SERVICE_STATUS_PROCESS* current = nullptr);
    // Releases the service's registration; nothing when it is not watched.
    void unwatch(const std::wstring& name);
    bool watching(const std::wstring& name) const;
    std::vector<std::wstring> watched() const;

    // The changes delivered since the last call, oldest first. Runs the
    // callbacks already queued first, so it must not be called from inside
    // one.
    std::vector<ServiceChange> takeChanges();

    // Changes that this program's own commands cause: what is delivered
    // while a scope is open is marked `own`. The outermost end first runs
    // the APCs already queued, then registers afresh every service that
    // changed meanwhile (so that a notification still under way for the old
    // registration is dropped), reporting its state as an own change.
    void beginOwnChanges() { ++ownDepth_; }
    void endOwnChanges();
    bool ownChangesOpen() const { return ownDepth_ > 0; }

    // Asks the manager whether stopped watched services have been marked for
    // deletion, which Wine never notifies. Each one that has is released and
    // reported as deleted. `all` checks every stopped service; otherwise only
    // those stopped in the last ten checks.
    void checkDeletions(bool all);
    // True when a check by checkDeletions(false) is due.
    bool deletionChecksDue() const;

    // The registration call; replaceable so that a system without it (or a
    // refused registration) can be exercised. Returns the previous one.
    static RegisterFunction setRegisterFunction(RegisterFunction function);

private:
    struct Registration;

    static void CALLBACK onNotify(void* buffer);
    void delivered(Registration& registration);
    DWORD registerNext(Registration& registration, DWORD currentState);
    void retire(const std::wstring& name);
    void freeRetired();
    void queue(ServiceChange change);

    Wake wake_;
    UniqueServiceHandle manager_;
    std::map<std::wstring, std::unique_ptr<Registration>> active_;
    // Released registrations, kept a while in case a callback queued
    // before the release still arrives.
    std::vector<std::pair<ULONGLONG, std::unique_ptr<Registration>>> retired_;
    std::vector<ServiceChange> changes_;
    int ownDepth_ = 0;
};
