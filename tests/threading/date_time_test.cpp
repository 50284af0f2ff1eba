#include "threading/date_time.h"

#include "diagnostics/exceptions.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

TEST(VDateTime, AddingADayCrossesTheYearAndRecomputesTheDayOfWeek) {
    VDateTime value(2026, 12, 31);
    value += 86'400;
    EXPECT_EQ(value.timestampText(), L"2027/01/01 00:00:00:000");
    EXPECT_EQ(value.dayOfWeek, 5);  // 1 January 2027 is a Friday
}

TEST(VDateTime, NegativeSecondsMoveBackAcrossAMonth) {
    VDateTime value(2024, 3, 1, 0, 0, 1, 42);
    value += -2;
    EXPECT_EQ(value.timestampText(), L"2024/02/29 23:59:59:042");
}

TEST(VDateTime, ComparisonIgnoresTheDayOfWeek) {
    VDateTime a(2026, 12, 7, 22, 17, 56, 42);
    VDateTime b = a;
    b.dayOfWeek = 3;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_EQ(a <=> b, std::strong_ordering::equal);
}

TEST(VDateTime, ComparisonDecidesByTheFirstDifferingField) {
    // A later month beats an earlier month with a larger day and time.
    EXPECT_LT(VDateTime(2026, 11, 30, 23, 59, 59, 999), VDateTime(2026, 12, 1));
    EXPECT_LT(VDateTime(2026, 12, 1, 10, 0, 0, 1), VDateTime(2026, 12, 1, 10, 0, 0, 2));
    EXPECT_GT(VDateTime(2027, 1, 1), VDateTime(2026, 12, 31, 23, 59, 59, 999));
}

TEST(VDateTime, MonthZeroMakesAdditionRaiseTheConversionError) {
    VDateTime value(2026, 0, 7);
    try {
        value += 86'400;
        FAIL() << "no error";
    } catch (const vosexception& e) {
        EXPECT_NE(e.message().find(L" at SystemTimeToFileTime"), std::wstring::npos) << e.fullText();
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "VDateTime::operator +=");
        EXPECT_EQ(e.context()[0].line, 266);
    }
}

// About 2^64 / 10^7 seconds: the tick count wraps to a few milliseconds.
TEST(VDateTime, AdditionBeyondTheRangeRaisesInsteadOfWrapping) {
    for (const int64_t seconds : {int64_t(1844674407371), int64_t(-1844674407371), INT64_MAX, INT64_MIN}) {
        VDateTime value(2026, 12, 9, 10, 30, 0);
        try {
            value += seconds;
            const std::wstring shown = value.timestampText();
            ADD_FAILURE() << seconds << " gave " << std::string(shown.begin(), shown.end());
        } catch (const vosexception& e) {
            EXPECT_EQ(e.code(), DWORD(ERROR_ARITHMETIC_OVERFLOW)) << seconds;
            ASSERT_EQ(e.context().size(), 1u);
            EXPECT_EQ(e.context()[0].line, 269);
        }
        EXPECT_EQ(value.timestampText(), L"2026/12/09 10:30:00:000") << "left unchanged";
    }
    VDateTime later(2026, 12, 9);
    later += int64_t(7000) * 365 * 86400;  // still inside the range
    EXPECT_GT(later.year, 8900);
}

TEST(VDateTime, FileTimeGivesTheCalendarTimeWithoutZoneConversion) {
    // 2026-12-07 22:17:56.042 UTC as a file time.
    SYSTEMTIME utc{2026, 12, 0, 7, 22, 17, 56, 42};
    FILETIME fileTime;
    ASSERT_TRUE(::SystemTimeToFileTime(&utc, &fileTime));
    const uint64_t ticks = (static_cast<uint64_t>(fileTime.dwHighDateTime) << 32) | fileTime.dwLowDateTime;
    const VDateTime value(ticks);
    EXPECT_EQ(value.timestampText(), L"2026/12/07 22:17:56:042");
    EXPECT_EQ(value.dateText(), L"20261207");
    EXPECT_EQ(value.dayOfWeek, 1);  // a Monday
}

TEST(VDateTime, OutOfRangeFileTimeRaises) {
    try {
        VDateTime value(0x8000000000000000ull);
        FAIL() << "no error";
    } catch (const vosexception& e) {
        ASSERT_EQ(e.context().size(), 1u);
        EXPECT_EQ(e.context()[0].function, "VDateTime::VDateTime");
        EXPECT_EQ(e.context()[0].line, 40);
    }
}

TEST(VDateTime, NowIsTheLocalTime) {
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    const VDateTime now = VDateTime::now();
    EXPECT_GE(now, VDateTime(before));
    EXPECT_EQ(now.dateText().size(), 8u);
}
