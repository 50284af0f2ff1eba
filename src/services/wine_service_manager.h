// What Wine's service manager does differently from Windows, with the
// workaround each difference needs. Everything here is used only where
// runningUnderWine() (diagnostics/wine.h) says so.
//
// Wine 8 never notifies SERVICE_NOTIFY_DELETE_PENDING: a service deleted
// while a handle to it is open stays marked for deletion, unnoticed. What
// tells it is a configuration change that changes nothing: the manager
// refuses it with ERROR_SERVICE_MARKED_FOR_DELETE for a service marked for
// deletion, and only for one. The probe needs a handle opened with
// SERVICE_CHANGE_CONFIG.
#pragma once

#include "diagnostics/win32.h"

namespace wine_service_manager {

// Whether the service behind `service` (opened with SERVICE_CHANGE_CONFIG)
// is marked for deletion.
bool markedForDeletion(SC_HANDLE service);

}  // namespace wine_service_manager
