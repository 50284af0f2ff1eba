// The catalogue: the product's services that the monitor shows and controls,
// grouped for display, built from the package registry.
#pragma once

#include "diagnostics/win32.h"

#include <commctrl.h>

#include <list>
#include <memory>
#include <string>

struct ServiceGroup;

// One service: a child item of the tree.
struct ServiceEntry {
    // The Windows service name: used for every service operation and as the
    // key of the entry's check mark.
    std::wstring name;
    // The text shown in the tree.
    std::wstring displayName;
    bool checked = false;
    HTREEITEM item = nullptr;
    ServiceGroup* group = nullptr;
};

// One group: a root item of the tree.
struct ServiceGroup {
    // The text shown, also the key of the group's check mark.
    std::wstring name;
    WORD icon = 0;
    // The last check state the dialog's timer saw.
    bool checked = false;
    HTREEITEM item = nullptr;
    std::list<std::unique_ptr<ServiceEntry>> services;
};

using ServiceGroups = std::list<std::unique_ptr<ServiceGroup>>;

namespace SvcSentry {

// Rebuilds the process-wide catalogue and returns it: "Quarn Run-Time" and
// "Mail Server" first, then the groups the packages name in order of first
// appearance, "Other" last. Every pointer into the previous contents is
// invalid afterwards. A package type that fails is logged (Info) and skipped;
// when the package types cannot be listed at all the error leaves and the
// catalogue is left empty.
ServiceGroups& AllServices();

// The service display-name query the catalogue uses. Replaceable so that a
// failing query can be exercised; returns the previous one.
using DisplayNameQuery = std::wstring (*)(const std::wstring& service);
DisplayNameQuery setDisplayNameQuery(DisplayNameQuery query);

}  // namespace SvcSentry
