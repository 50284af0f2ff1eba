#include "security/security_descriptor.h"
#include "security/sid.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

#include <gtest/gtest.h>

#include <lm.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

namespace {

std::wstring sidString(PSID sid) {
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) return L"<invalid>";
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

// Local group lists as a scripted account database would answer them.
std::vector<std::wstring> groupsOfAlice(const std::wstring& user, bool& found, unsigned long& error) {
    error = 0;
    found = user == L"alice";
    if (!found) return {};
    return {L"Users", L"Administrators"};
}

std::vector<std::wstring> failingQuery(const std::wstring&, bool& found, unsigned long& error) {
    found = true;
    error = 53;  // network path not found
    return {};
}

// Restores the platform's query at the end of a test.
struct QueryOverride {
    explicit QueryOverride(LocalGroupsQuery query) { setLocalGroupsQuery(query); }
    ~QueryOverride() { setLocalGroupsQuery(nullptr); }
};

}  // namespace

TEST(Accounts, WellKnownIdentifiers) {
    EXPECT_EQ(sidString(VSID::admins().get()), L"S-1-5-32-544");
    EXPECT_EQ(sidString(VSID::everyone().get()), L"S-1-1-0");
    EXPECT_EQ(sidString(VSID::system().get()), L"S-1-5-18");
}

TEST(Accounts, CopiesAreIndependentAndInvalidSidsLeaveTheObjectEmpty) {
    VSID admins = VSID::admins();
    VSID copy = admins;
    EXPECT_NE(copy.get(), admins.get());
    EXPECT_TRUE(::EqualSid(copy.get(), admins.get()));
    BYTE garbage[16] = {0xFF};
    VSID invalid(static_cast<PSID>(garbage));
    EXPECT_TRUE(invalid.empty());
    copy = static_cast<PSID>(garbage);
    EXPECT_TRUE(copy.empty());
}

TEST(Accounts, CurrentUserIsFoundWithItsDomain) {
    const VSID user = VSID::currentUser();
    ASSERT_FALSE(user.empty());
    std::wstring domain;
    const std::wstring name = VSID::findAccount(user.get(), &domain);
    EXPECT_FALSE(name.empty());
    EXPECT_FALSE(domain.empty());
}

// Wine has one account only: LogonUserW hands out a token that cannot be
// queried and ImpersonateAnonymousToken is not implemented, so no thread can
// impersonate another user. What tells the thread's token from the process's
// here is its security: a token that refuses TOKEN_QUERY to everyone must make
// the look-up fail, which it cannot if the process token were read instead.
TEST(Accounts, ImpersonatingThreadAnswersWithItsOwnToken) {
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    const VSID impersonated = VSID::currentUser();
    ::RevertToSelf();
    EXPECT_TRUE(::EqualSid(impersonated.get(), VSID::currentUser().get()));

    UniqueHandle process;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put()));
    PSECURITY_DESCRIPTOR noQuery = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;0x8;;;WD)(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                       &noQuery, nullptr));
    UniqueLocalMemory descriptorOwner(noQuery);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), noQuery, FALSE};
    UniqueHandle unreadable;
    ASSERT_TRUE(::DuplicateTokenEx(process.get(), TOKEN_IMPERSONATE | TOKEN_QUERY, &attributes, SecurityImpersonation,
                                   TokenImpersonation, unreadable.put()));
    ASSERT_TRUE(::SetThreadToken(nullptr, unreadable.get()));
    try {
        VSID::currentUser();
        ADD_FAILURE() << "the thread's token was not the one read";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), DWORD(ERROR_ACCESS_DENIED));
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "VSID::currentUser");
        EXPECT_EQ(e.context()[0].line, 234);
    }
    ::RevertToSelf();
}

TEST(Accounts, AssigningAnObjectItsOwnSidKeepsIt) {
    VSID world = VSID::everyone();  // from AllocateAndInitializeSid
    world = world.get();
    EXPECT_EQ(sidString(world.get()), L"S-1-1-0");
    world = world.get();  // now a heap copy
    EXPECT_EQ(sidString(world.get()), L"S-1-1-0");
}

TEST(Accounts, AdministratorsGroupNameAndCheckForTheWineUser) {
    EXPECT_EQ(VSID::findAccount(VSID::admins().get()), L"Administrators");
    EXPECT_TRUE(isCurrentUserAdministrator());
}

TEST(Accounts, GroupMembershipIsDirectExactAndUnknownUsersAreNotMembers) {
    QueryOverride scripted(&groupsOfAlice);
    EXPECT_TRUE(VSID::isGroupMember(L"Administrators", L"alice"));
    EXPECT_FALSE(VSID::isGroupMember(L"administrators", L"alice"));   // names compare exactly
    EXPECT_FALSE(VSID::isGroupMember(L"Administrators", L"mallory")); // user not found
}

// An account database that lists "Domain Admins" (where alice is a member
// through "Administrators") only when asked for indirect memberships.
DWORD g_groupFlags = 0xFFFFFFFF;
DWORD WINAPI nestingNetUserGetLocalGroups(LPCWSTR, LPCWSTR, DWORD, DWORD flags, LPBYTE* buffer, DWORD, LPDWORD read,
                                          LPDWORD total) {
    g_groupFlags = flags;
    std::vector<std::wstring> names{L"Users", L"Administrators"};
    if (flags & LG_INCLUDE_INDIRECT) names.push_back(L"Domain Admins");
    size_t bytes = names.size() * sizeof(LOCALGROUP_USERS_INFO_0);
    for (const auto& name : names) bytes += (name.size() + 1) * sizeof(wchar_t);
    void* block = nullptr;
    if (::NetApiBufferAllocate(static_cast<DWORD>(bytes), &block) != NERR_Success) return ERROR_NOT_ENOUGH_MEMORY;
    auto* entries = static_cast<LOCALGROUP_USERS_INFO_0*>(block);
    auto* text = reinterpret_cast<wchar_t*>(entries + names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        std::copy(names[i].begin(), names[i].end(), text);
        text[names[i].size()] = L'\0';
        entries[i].lgrui0_name = text;
        text += names[i].size() + 1;
    }
    *buffer = static_cast<LPBYTE>(block);
    *read = *total = static_cast<DWORD>(names.size());
    return NERR_Success;
}

// Wine's NetUserGetLocalGroups answers [Administrators] whatever it is asked:
// the platform call is replaced by one that answers by its flags.
TEST(Accounts, NestedMembershipsAreNotCounted) {
    setNetUserGetLocalGroupsCall(&nestingNetUserGetLocalGroups);
    EXPECT_TRUE(VSID::isGroupMember(L"Administrators", L"alice"));
    EXPECT_FALSE(VSID::isGroupMember(L"Domain Admins", L"alice"));
    setNetUserGetLocalGroupsCall(nullptr);
    EXPECT_EQ(g_groupFlags, 0u);
}

TEST(Accounts, OtherGroupQueryFailuresAreRaisedWithBothNames) {
    QueryOverride failing(&failingQuery);
    try {
        VSID::isGroupMember(L"Administrators", L"bob");
        FAIL();
    } catch (const vosexception& e) {
        EXPECT_EQ(e.code(), 53u);
        EXPECT_NE(e.message().find(L" at NetUserGetLocalGroups(bob, Administrators)"), std::wstring::npos);
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "VSID::isGroupMember");
        EXPECT_EQ(e.context()[0].line, 584);
    }
}

TEST(SecurityDescriptorTest, DescriptorGrantsWhatItSaysToObjectsCreatedWithIt) {
    AccessDescription description;
    description.entries.push_back(AccessEntry{VSID::everyone(), MUTEX_ALL_ACCESS});
    description.owner = VSID::currentUser();
    description.group = VSID::admins();
    SecurityDescriptor descriptor(description, true);
    EXPECT_TRUE(::IsValidSecurityDescriptor(descriptor.descriptor()));
    EXPECT_EQ(descriptor.attributes()->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_TRUE(descriptor.attributes()->bInheritHandle);

    UniqueHandle mutex(::CreateMutexW(descriptor.attributes(), FALSE, L"QuarnTestDescriptorMutex"));
    ASSERT_TRUE(mutex);
    UniqueHandle opened(::OpenMutexW(SYNCHRONIZE, FALSE, L"QuarnTestDescriptorMutex"));
    EXPECT_TRUE(opened);

    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.descriptor(), &owner, &defaulted));
    EXPECT_TRUE(::EqualSid(owner, VSID::currentUser().get()));
}
