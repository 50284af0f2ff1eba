#include "security/security_descriptor.h"
#include "security/sid.h"

#include "diagnostics/exceptions.h"
#include "diagnostics/handles.h"

#include <gtest/gtest.h>

#include <sddl.h>

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

TEST(Accounts, ImpersonatingThreadAnswersWithItsOwnToken) {
    ASSERT_TRUE(::ImpersonateSelf(SecurityImpersonation));
    const VSID impersonated = VSID::currentUser();
    ::RevertToSelf();
    EXPECT_TRUE(::EqualSid(impersonated.get(), VSID::currentUser().get()));
}

TEST(Accounts, AdministratorsGroupNameAndCheckForTheWineUser) {
    EXPECT_EQ(VSID::findAccount(VSID::admins().get()), L"Administrators");
    EXPECT_TRUE(isCurrentUserAdministrator());
}

TEST(Accounts, GroupMembershipIsDirectExactAndUnknownUsersAreNotMembers) {
    QueryOverride scripted(&groupsOfAlice);
    EXPECT_TRUE(VSID::isGroupMember(L"Administrators", L"alice"));
    EXPECT_FALSE(VSID::isGroupMember(L"administrators", L"alice"));   // names compare exactly
    EXPECT_FALSE(VSID::isGroupMember(L"Domain Admins", L"alice"));    // nested memberships are not listed
    EXPECT_FALSE(VSID::isGroupMember(L"Administrators", L"mallory")); // user not found
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
