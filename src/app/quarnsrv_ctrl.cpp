#include "app/quarnsrv_ctrl.h"

#include "diagnostics/standard_wrapping.h"
#include "services/service_control.h"
#include "threading/cancelation_point.h"

namespace {

const wchar_t* const kManagementService = L"quarnsrv";
constexpr ContextSite kStopSite{"QuarnSrvCtrl::~QuarnSrvCtrl", 366};

}  // namespace

QuarnSrvCtrl::QuarnSrvCtrl(service::ProgressCallback progress, void* context)
    : progress_(progress), context_(context) {
    if (service::isActive(kManagementService)) return;
    service::startStopService(kManagementService, true, nullptr, nullptr, progress_, context_);
    started_ = true;
}

QuarnSrvCtrl::~QuarnSrvCtrl() noexcept(false) {
    if (!started_) return;
    runWrappedLogged(LogWarning, kStopSite.entry(L"Stop quarnsrv"), [this] {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        service::startStopService(kManagementService, false, nullptr, nullptr, progress_, context_);
    });
}
