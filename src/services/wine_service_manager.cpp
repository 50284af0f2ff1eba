#include "services/wine_service_manager.h"

namespace wine_service_manager {

bool running() {
    static const bool wine = [] {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

bool markedForDeletion(SC_HANDLE service) {
    return !::ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace wine_service_manager
