#include "threading/mutex.h"

#include "diagnostics/exceptions.h"
#include "security/security_descriptor.h"

namespace {

constexpr ContextSite kCreateNamedSite{"VMutex::VMutex", 196};
constexpr ContextSite kCreateSite{"VMutex::VMutex", 200};
constexpr ContextSite kUnlockSite{"VMutex::unlock", 236};

}  // namespace

VMutex::VMutex(bool initiallyOwned, const wchar_t* name) {
    // Everyone gets all access, so processes of other accounts (services)
    // can open the same mutex.
    AccessDescription access;
    access.entries.push_back(AccessEntry{VSID::everyone(), GENERIC_ALL});
    SecurityDescriptor security(access, false);
    handle_ = ::CreateMutexW(security.attributes(), initiallyOwned ? TRUE : FALSE, name);
    if (!handle_) {
        if (name)
            raiseOsError(std::wstring(L"Create mutex with name '") + name + L"'", ::GetLastError(),
                         kCreateNamedSite.entry());
        raiseOsError(L"Create mutex", ::GetLastError(), kCreateSite.entry());
    }
}

VMutex::VMutex(bool initiallyOwned, const std::wstring& name) : VMutex(initiallyOwned, name.c_str()) {}

void VMutex::unlock() {
    if (!::ReleaseMutex(handle_)) raiseOsError(L"ReleaseMutex", ::GetLastError(), kUnlockSite.entry());
}
