#include "services/service_manager.h"

#include "diagnostics/exceptions.h"

namespace service_detail {
namespace {
constexpr ContextSite kOpenManagerSite{"`anonymous-namespace'::servicemanager::servicemanager", 122};
}

servicemanager::servicemanager(DWORD access, const wchar_t* machine, const wchar_t* database)
    : handle_(::OpenSCManagerW(machine, database, access)) {
    if (!handle_) raiseOsError(L"OpenSCManager", ::GetLastError(), kOpenManagerSite.entry());
}

BOOL servicemanager::close() {
    SC_HANDLE handle = handle_.release();
    return handle ? ::CloseServiceHandle(handle) : 0;
}

UniqueServiceHandle servicemanager::openService(const std::wstring& name, DWORD access) const {
    return UniqueServiceHandle(::OpenServiceW(handle_.get(), name.c_str(), access));
}

ConfigCalls& configCalls() {
    static ConfigCalls calls;
    return calls;
}

}  // namespace service_detail
