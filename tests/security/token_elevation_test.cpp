#include "security/token_elevation.h"

#include "diagnostics/exceptions.h"
#include "limited_token.h"
#include "security/sid.h"

#include <gtest/gtest.h>

#include <thread>

using testing_support::ActAsLimitedUser;

namespace {

// Wine runs every process with the full half of the pair, and the token
// linked to it is the limited half: what Windows gives a program started at
// logon under User Account Control.
TEST(TokenElevation, FullProcessTokenAndItsLimitedTwin) {
    EXPECT_EQ(currentElevationType(), ElevationType::Full);
    EXPECT_FALSE(rightsHeldBack());
    EXPECT_EQ(elevationTypeOf(testing_support::linkedToken().get()), ElevationType::Limited);
}

// The token a thread acts with decides, and only on that thread; the
// administrator check by group names passes either way.
TEST(TokenElevation, ImpersonatingTheLimitedTokenHoldsRightsBack) {
    {
        ActAsLimitedUser limited;
        EXPECT_EQ(currentElevationType(), ElevationType::Limited);
        EXPECT_TRUE(rightsHeldBack());
        EXPECT_TRUE(isCurrentUserAdministrator());
        bool otherThreadHeldBack = true;
        std::thread([&] { otherThreadHeldBack = rightsHeldBack(); }).join();
        EXPECT_FALSE(otherThreadHeldBack);
    }
    EXPECT_EQ(currentElevationType(), ElevationType::Full);
}

TEST(TokenElevation, AFailedQueryRaisesWithThePlatformsCode) {
    try {
        elevationTypeOf(nullptr);
        FAIL() << "no error";
    } catch (const vosexception& error) {
        EXPECT_EQ(error.code(), static_cast<uint32_t>(ERROR_INVALID_HANDLE));
        EXPECT_NE(error.fullText().find(L"GetTokenInformation"), std::wstring::npos);
        EXPECT_NE(error.fullText().find(L"elevationTypeOf"), std::wstring::npos);
    }
}

}  // namespace
