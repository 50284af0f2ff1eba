#include "security/security_descriptor.h"

#include "diagnostics/exceptions.h"

#include <aclapi.h>

namespace {

constexpr ContextSite kSetEntriesSite{"SecurityDescriptor::SecurityDescriptor", 863};
constexpr ContextSite kOutOfMemorySite{"SecurityDescriptor::SecurityDescriptor", 870};
constexpr ContextSite kInitializeSite{"SecurityDescriptor::SecurityDescriptor", 877};
constexpr ContextSite kDaclSite{"SecurityDescriptor::SecurityDescriptor", 884};
constexpr ContextSite kOwnerSite{"SecurityDescriptor::SecurityDescriptor", 890};
constexpr ContextSite kGroupSite{"SecurityDescriptor::SecurityDescriptor", 903};

}  // namespace

SecurityDescriptor::SecurityDescriptor(const AccessDescription& description, bool inheritable)
    : owner_(description.owner), group_(description.group) {
    try {
        std::vector<EXPLICIT_ACCESSW> access(description.entries.size());
        for (size_t i = 0; i < access.size(); ++i) {
            const AccessEntry& entry = description.entries[i];
            access[i].grfAccessPermissions = entry.mask;
            access[i].grfAccessMode = SET_ACCESS;
            access[i].grfInheritance = entry.inheritance;
            access[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
            access[i].Trustee.TrusteeType = entry.isGroup ? TRUSTEE_IS_GROUP : TRUSTEE_IS_USER;
            access[i].Trustee.ptstrName = static_cast<LPWSTR>(entry.account.get());
        }
        const DWORD status =
            ::SetEntriesInAclW(static_cast<ULONG>(access.size()), access.data(), nullptr, &acl_);
        if (status != ERROR_SUCCESS) raiseOsError(L"SetEntriesInAcl", status, kSetEntriesSite.entry());

        descriptor_ = ::LocalAlloc(LMEM_FIXED, SECURITY_DESCRIPTOR_MIN_LENGTH);
        if (!descriptor_) throw vexception(L"Out of memory", kOutOfMemorySite.entry());
        if (!::InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION))
            raiseOsError(L"InitializeSecurityDescriptor", ::GetLastError(), kInitializeSite.entry());
        if (!::SetSecurityDescriptorDacl(descriptor_, TRUE, acl_, FALSE))
            raiseOsError(L"SetSecurityDescriptorDacl", ::GetLastError(), kDaclSite.entry());
        if (!owner_.empty() && !::SetSecurityDescriptorOwner(descriptor_, owner_.get(), FALSE))
            raiseOsError(L"SetSecurityDescriptorOwner", ::GetLastError(), kOwnerSite.entry());
        if (!group_.empty() && !::SetSecurityDescriptorGroup(descriptor_, group_.get(), FALSE))
            raiseOsError(L"SetSecurityDescriptorGroup", ::GetLastError(), kGroupSite.entry());
    } catch (...) {
        release();
        throw;
    }
    // The structure's real size: on a 64-bit process it is not 12 bytes.
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = inheritable ? TRUE : FALSE;
}

SecurityDescriptor::~SecurityDescriptor() {
    release();
}

void SecurityDescriptor::release() noexcept {
    if (descriptor_) ::LocalFree(descriptor_);
    if (acl_) ::LocalFree(acl_);
    descriptor_ = nullptr;
    acl_ = nullptr;
}
