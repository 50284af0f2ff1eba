// Holds the management service "quarnsrv" running for a scope: started by
// the constructor when it is not running, stopped again at the end of the
// scope by whoever started it. The service ends the scope in the state it
// had before, unless stopping it fails, which is only logged (Warning).
#pragma once

#include "services/service_control.h"

class QuarnSrvCtrl {
public:
    // Starts "quarnsrv" (and what it depends on) when it is not active.
    // Raises when the service cannot be queried or started; the object then
    // does not exist and stops nothing. `progress`, when given, is told of
    // the start and of the stop as service::startStopService tells it.
    explicit QuarnSrvCtrl(service::ProgressCallback progress = nullptr, void* context = nullptr);
    // May let the thread's cancellation through (never while another error
    // is leaving the scope).
    ~QuarnSrvCtrl() noexcept(false);
    QuarnSrvCtrl(const QuarnSrvCtrl&) = delete;
    QuarnSrvCtrl& operator=(const QuarnSrvCtrl&) = delete;

    bool started() const { return started_; }

private:
    bool started_ = false;
    service::ProgressCallback progress_;
    void* context_;
};
