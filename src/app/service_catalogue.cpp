#include "app/service_catalogue.h"

#include "app/resource_text.h"
#include "config/package.h"
#include "diagnostics/standard_wrapping.h"
#include "diagnostics/text.h"
#include "resource_ids.h"
#include "services/service_query.h"
#include "threading/cancelation_point.h"

#include <map>

namespace {

constexpr ContextSite kTryShowSite{"SvcSentry::AllServices", 58};

const wchar_t kRuntimeGroupValue[] = L"Quarn Run-Time";
const wchar_t kMailGroupValue[] = L"Mail Server";
const wchar_t kHiddenGroupValue[] = L"Hidden";

std::wstring serviceDisplayName(const std::wstring& service) {
    return service::serviceDisplayName(service);
}

SvcSentry::DisplayNameQuery displayNameQuery = &serviceDisplayName;

std::unique_ptr<ServiceGroup> makeGroup(std::wstring name, WORD icon) {
    auto group = std::make_unique<ServiceGroup>();
    group->name = std::move(name);
    group->icon = icon;
    return group;
}

// The shown text: the display name when it can be read, else the name.
std::wstring shownName(const std::wstring& service) {
    try {
        return displayNameQuery(service);
    } catch (const vexception&) {
        return service;
    }
}

class CatalogueBuilder {
public:
    explicit CatalogueBuilder(ServiceGroups& groups) : groups_(groups) {
        groups_.push_back(makeGroup(loadResourceString(IDS_GROUP_RUNTIME), IDI_GROUP_RUNTIME));
        byValue_[kRuntimeGroupValue] = groups_.back().get();
        groups_.push_back(makeGroup(loadResourceString(IDS_GROUP_MAIL), IDI_GROUP_MAIL));
        byValue_[kMailGroupValue] = groups_.back().get();
        other_ = makeGroup(loadResourceString(IDS_GROUP_OTHER), IDI_GROUP_OTHER);
    }

    // Adds the services of the type's installed package, if it has one.
    void addPackageType(const std::wstring& type) {
        const std::wstring package = VPackage::getInstalledPackage(type);
        if (package.empty()) return;
        std::list<std::wstring> services;
        VPackage::getServices(type, package, services);
        for (const std::wstring& service : services) {
            if (!service::exist(service)) continue;
            std::wstring groupValue;
            VPackage::getServiceValue(type, package, service, L"Group", groupValue);
            ServiceGroup* group = groupFor(groupValue);
            if (!group) continue;
            auto entry = std::make_unique<ServiceEntry>();
            entry->name = service;
            entry->displayName = shownName(service);
            entry->group = group;
            group->services.push_back(std::move(entry));
        }
    }

    void finish() { groups_.push_back(std::move(other_)); }

private:
    // The group for a "Group" value; null for a hidden service.
    ServiceGroup* groupFor(const std::wstring& value) {
        if (value.empty()) return other_.get();
        auto found = byValue_.find(value);
        if (found != byValue_.end()) return found->second;
        if (value == kHiddenGroupValue) return nullptr;
        groups_.push_back(makeGroup(value, IDI_GROUP_OTHER));
        byValue_[value] = groups_.back().get();
        return groups_.back().get();
    }

    ServiceGroups& groups_;
    std::map<std::wstring, ServiceGroup*> byValue_;
    std::unique_ptr<ServiceGroup> other_;
};

}  // namespace

namespace SvcSentry {

ServiceGroups& AllServices() {
    static ServiceGroups catalogue;
    catalogue.clear();
    try {
        CatalogueBuilder builder(catalogue);
        std::list<std::wstring> types;
        VPackage::getPackageTypes(types);
        for (const std::wstring& type : types) {
            runWrappedLogged(
                LogInfo, [&] { return kTryShowSite.entry(format(L"Try show services of %s", type.c_str())); },
                [&] {
                    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
                    builder.addPackageType(type);
                });
        }
        builder.finish();
    } catch (...) {
        // A half-built catalogue would hold groups without tree items.
        catalogue.clear();
        throw;
    }
    return catalogue;
}

DisplayNameQuery setDisplayNameQuery(DisplayNameQuery query) {
    DisplayNameQuery previous = displayNameQuery;
    displayNameQuery = query;
    return previous;
}

}  // namespace SvcSentry
