#include "process/desktop_access.h"

#include "diagnostics/handles.h"
#include "process_test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <vector>

using namespace desktop_access;

namespace {

// A group list holding `sids`, each with `attributes`.
class Groups {
public:
    Groups(std::vector<VSID> sids, DWORD attributes = SE_GROUP_ENABLED) : sids_(std::move(sids)) {
        buffer_.resize(sizeof(TOKEN_GROUPS) + sids_.size() * sizeof(SID_AND_ATTRIBUTES));
        auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer_.data());
        groups->GroupCount = static_cast<DWORD>(sids_.size());
        for (size_t i = 0; i < sids_.size(); ++i) groups->Groups[i] = {sids_[i].get(), attributes};
    }
    const TOKEN_GROUPS& get() const { return *reinterpret_cast<const TOKEN_GROUPS*>(buffer_.data()); }

private:
    std::vector<VSID> sids_;
    std::vector<BYTE> buffer_;
};

// An access list with one entry per (allowed, sid, mask).
struct Entry {
    bool allowed;
    PSID sid;
    ACCESS_MASK mask;
};
std::vector<BYTE> makeAcl(const std::vector<Entry>& entries) {
    std::vector<BYTE> buffer(1024);
    auto* acl = reinterpret_cast<ACL*>(buffer.data());
    EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(buffer.size()), ACL_REVISION));
    for (const Entry& entry : entries) {
        if (entry.allowed)
            EXPECT_TRUE(::AddAccessAllowedAce(acl, ACL_REVISION, entry.mask, entry.sid));
        else
            EXPECT_TRUE(::AddAccessDeniedAce(acl, ACL_REVISION, entry.mask, entry.sid));
    }
    return buffer;
}
const ACL* asAcl(const std::vector<BYTE>& buffer) { return reinterpret_cast<const ACL*>(buffer.data()); }

VSID everyone() { return VSID::everyone(); }

// The DACL of a window object, or an empty list when it has none.
std::vector<BYTE> windowDacl(HANDLE object, bool* present = nullptr) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_EQ(::GetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                &descriptor),
              0u);
    UniqueLocalMemory owner(descriptor);
    if (present) *present = dacl != nullptr;
    if (!dacl) return makeAcl({});
    return std::vector<BYTE>(reinterpret_cast<BYTE*>(dacl), reinterpret_cast<BYTE*>(dacl) + dacl->AclSize);
}

void setWindowDacl(HANDLE object, const ACL* acl) {
    EXPECT_EQ(::SetSecurityInfo(object, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                const_cast<ACL*>(acl), nullptr),
              0u);
}

}  // namespace

TEST(DesktopAccess, GroupClassFollowsTheFirstWellKnownGroupPresent) {
    const VSID admins = groupSid(AdministratorsClass), users = groupSid(UsersClass), guests = groupSid(GuestsClass);
    EXPECT_EQ(groupClass(Groups({everyone(), users, admins}).get()), AdministratorsClass);
    EXPECT_EQ(groupClass(Groups({guests, users}).get()), UsersClass);
    EXPECT_EQ(groupClass(Groups({everyone(), guests}).get()), GuestsClass);
    EXPECT_EQ(groupClass(Groups({everyone()}).get()), UsersClass);
    EXPECT_EQ(groupClass(Groups({}).get()), UsersClass);
    // Presence counts, whatever the attributes.
    EXPECT_EQ(groupClass(Groups({admins}, SE_GROUP_USE_FOR_DENY_ONLY).get()), AdministratorsClass);
    EXPECT_EQ(VSID::findAccount(guests.get()), L"Guests");
}

TEST(DesktopAccess, AdministratorTestOfTokens) {
    UniqueHandle process;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
    // The test platform's user is an administrator.
    EXPECT_TRUE(isEnabledAdministrator(process.get()));
    EXPECT_EQ(tokenGroupClass(process.get()), AdministratorsClass);

    // Administrators for deny only: still the administrators' class, but no
    // enabled administrator.
    const VSID admins = groupSid(AdministratorsClass);
    SID_AND_ATTRIBUTES disable{admins.get(), 0};
    UniqueHandle restricted;
    ASSERT_TRUE(::CreateRestrictedToken(process.get(), 0, 1, &disable, 0, nullptr, 0, nullptr, restricted.put()));
    EXPECT_FALSE(isEnabledAdministrator(restricted.get()));
    EXPECT_EQ(tokenGroupClass(restricted.get()), AdministratorsClass);
}

TEST(DesktopAccess, GenericRightsAreMappedPerObjectKind) {
    EXPECT_EQ(windowStationRights(GENERIC_ALL), kWindowStationAccess);
    EXPECT_EQ(windowStationRights(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE), 0x2037Fu);
    EXPECT_EQ(windowStationRights(GENERIC_READ | DELETE), 0x30303u);
    EXPECT_EQ(desktopRights(GENERIC_ALL), kDesktopAccess);
    EXPECT_EQ(desktopRights(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE), 0x201FFu);
    EXPECT_EQ(desktopRights(WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE),
              kDesktopAccess);
}

TEST(DesktopAccess, RequiredAccessComesFromAnAllowingEntryForTheGroup) {
    const VSID users = groupSid(UsersClass), admins = groupSid(AdministratorsClass);
    auto check = [&](const std::vector<Entry>& entries) {
        const std::vector<BYTE> acl = makeAcl(entries);
        return hasRequiredAccess(asAcl(acl), users.get(), windowStationRights, kWindowStationAccess);
    };
    EXPECT_TRUE(check({{true, admins.get(), GENERIC_READ}, {true, users.get(), GENERIC_ALL}}));
    EXPECT_TRUE(check({{true, users.get(), kWindowStationAccess}}));
    EXPECT_FALSE(check({{true, users.get(), GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE}}));
    // Rights spread over two entries are not one entry holding them all.
    EXPECT_FALSE(check({{true, users.get(), GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE},
                        {true, users.get(), WRITE_DAC | WRITE_OWNER | DELETE}}));
    EXPECT_FALSE(check({{true, admins.get(), GENERIC_ALL}}));
    EXPECT_FALSE(check({{false, users.get(), GENERIC_ALL}}));
    EXPECT_FALSE(check({}));
    EXPECT_FALSE(hasRequiredAccess(nullptr, users.get(), desktopRights, kDesktopAccess));
}

TEST(DesktopAccess, TheGrantIsAppendedBehindTheExistingEntries) {
    const VSID users = groupSid(UsersClass), admins = groupSid(AdministratorsClass);
    const std::vector<BYTE> original =
        makeAcl({{false, everyone().get(), WRITE_DAC}, {true, admins.get(), GENERIC_ALL}});
    std::unique_ptr<BYTE[]> granted = withAllowedEntry(asAcl(original), users.get(), kDesktopAccess);
    auto* acl = reinterpret_cast<ACL*>(granted.get());
    ASSERT_EQ(acl->AceCount, 3u);
    void* entry = nullptr;
    ASSERT_TRUE(::GetAce(acl, 0, &entry));
    EXPECT_EQ(static_cast<ACE_HEADER*>(entry)->AceType, ACCESS_DENIED_ACE_TYPE);
    ASSERT_TRUE(::GetAce(acl, 2, &entry));
    const auto* added = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(added->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(added->Header.AceFlags, 0);
    EXPECT_EQ(added->Mask, kDesktopAccess);
    EXPECT_TRUE(::EqualSid(const_cast<DWORD*>(&added->SidStart), users.get()));
    EXPECT_TRUE(hasRequiredAccess(acl, users.get(), desktopRights, kDesktopAccess));
    EXPECT_TRUE(::IsValidAcl(acl));

    std::unique_ptr<BYTE[]> fromNothing = withAllowedEntry(nullptr, users.get(), kWindowStationAccess);
    EXPECT_EQ(reinterpret_cast<ACL*>(fromNothing.get())->AceCount, 1u);
}

TEST(DesktopAccess, GrantOnTheInteractiveWindowStationAndDesktop) {
    UniqueWindowStation station(::OpenWindowStationW(L"winsta0", FALSE, READ_CONTROL | WRITE_DAC));
    ASSERT_TRUE(station);
    UniqueDesktop desktop(::OpenDesktopW(L"default", 0, FALSE, READ_CONTROL | WRITE_DAC));
    ASSERT_TRUE(desktop);
    bool stationHadDacl = true, desktopHadDacl = true;
    const std::vector<BYTE> stationBefore = windowDacl(station.get(), &stationHadDacl);
    const std::vector<BYTE> desktopBefore = windowDacl(desktop.get(), &desktopHadDacl);
    const HWINSTA ownStation = ::GetProcessWindowStation();

    // A list that names only the administrators gets the Guests' entry, once.
    const VSID admins = groupSid(AdministratorsClass), guests = groupSid(GuestsClass);
    const std::vector<BYTE> start = makeAcl({{true, admins.get(), GENERIC_ALL}});
    setWindowDacl(station.get(), asAcl(start));
    setWindowDacl(desktop.get(), asAcl(start));
    grantDesktopAccess(GuestsClass, L"winsta0", L"default");
    EXPECT_EQ(::GetProcessWindowStation(), ownStation);
    std::vector<BYTE> stationAfter = windowDacl(station.get());
    std::vector<BYTE> desktopAfter = windowDacl(desktop.get());
    EXPECT_EQ(asAcl(stationAfter)->AceCount, 2u);
    EXPECT_TRUE(hasRequiredAccess(asAcl(stationAfter), guests.get(), windowStationRights, kWindowStationAccess));
    EXPECT_TRUE(hasRequiredAccess(asAcl(desktopAfter), guests.get(), desktopRights, kDesktopAccess));
    grantDesktopAccess(GuestsClass, L"winsta0", L"default");
    EXPECT_EQ(asAcl(windowDacl(station.get()))->AceCount, 2u);
    EXPECT_EQ(asAcl(windowDacl(desktop.get()))->AceCount, 2u);

    // No list at all already lets everyone in: it stays without one.
    setWindowDacl(station.get(), nullptr);
    setWindowDacl(desktop.get(), nullptr);
    grantDesktopAccess(UsersClass, L"winsta0", L"default");
    bool present = true;
    windowDacl(station.get(), &present);
    EXPECT_FALSE(present);
    windowDacl(desktop.get(), &present);
    EXPECT_FALSE(present);

    setWindowDacl(station.get(), stationHadDacl ? asAcl(stationBefore) : nullptr);
    setWindowDacl(desktop.get(), desktopHadDacl ? asAcl(desktopBefore) : nullptr);

    auto error = process_testing::expectError<vosexception>(
        [] { grantDesktopAccess(UsersClass, L"no-such-station", L"default"); });
    ASSERT_TRUE(error);
    EXPECT_NE(error->message().find(L"Unable to open window station no-such-station"), std::wstring::npos);
    EXPECT_EQ(::GetProcessWindowStation(), ownStation);
}
