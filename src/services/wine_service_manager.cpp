#include "services/wine_service_manager.h"

namespace wine_service_manager {

bool markedForDeletion(SC_HANDLE service) {
    return !::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace wine_service_manager
