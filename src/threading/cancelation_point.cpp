#include "threading/cancelation_point.h"

namespace ThreadCancelation {

CancelationPoint::CancelationPoint(CancelMode mode) : mode_(mode) {}
void CancelationPoint::cancel() {}
CancelationPoint::~CancelationPoint() noexcept(false) {}

}  // namespace ThreadCancelation
