// Absolute security descriptors built from a list of access entries, for
// objects created with explicit access rules (named mutexes, pipes, child
// processes).
#pragma once

#include "security/sid.h"

#include <accctrl.h>

#include <vector>

// One grant: SET_ACCESS of `mask` to `account`.
struct AccessEntry {
    VSID account;
    DWORD mask = 0;
    DWORD inheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    bool isGroup = true;  // trustee type: group (true) or user (false)
};

struct AccessDescription {
    std::vector<AccessEntry> entries;
    VSID owner;  // empty: the descriptor names no owner
    VSID group;  // empty: the descriptor names no primary group
};

class SecurityDescriptor {
public:
    SecurityDescriptor(const AccessDescription& description, bool inheritable);
    ~SecurityDescriptor();
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }
    // Points to the descriptor; valid while this object lives.
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    void release() noexcept;

    PACL acl_ = nullptr;
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    // The owner and group the descriptor points to must outlive it.
    VSID owner_;
    VSID group_;
    SECURITY_ATTRIBUTES attributes_{};
};
