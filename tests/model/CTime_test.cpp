#include "framework/CTime.h"

#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <stdexcept>

#include "TestPlaylist.h"

TEST(CTime, FieldsRoundTripInLocalTime) {
    const ScopedTimeZone zone(kCentralEurope);
    const CTime t(2002, 12, 31, 23, 59, 59);
    EXPECT_EQ(2002, t.GetYear());
    EXPECT_EQ(12, t.GetMonth());
    EXPECT_EQ(31, t.GetDay());
    EXPECT_EQ(23, t.GetHour());
    EXPECT_EQ(59, t.GetMinute());
    EXPECT_EQ(59, t.GetSecond());
    EXPECT_EQ(3, t.GetDayOfWeek());  // a Tuesday
    struct tm fields {};
    ASSERT_TRUE(t.GetLocalTm(&fields));
    EXPECT_EQ(102, fields.tm_year);
    EXPECT_FALSE(t.GetLocalTm(nullptr));
}

TEST(CTime, DaylightSavingFlag) {
    const ScopedTimeZone zone(kCentralEurope);
    // -1 lets the library decide: summer time in August.
    const CTime decided(2002, 8, 30, 12, 0, 0, -1);
    EXPECT_EQ(12, decided.GetHour());
    // Claiming standard time for a summer date moves the hour on by one.
    const CTime standard(2002, 8, 30, 12, 0, 0, 0);
    EXPECT_EQ(3600, (standard - decided).GetTotalSeconds());
    EXPECT_EQ(13, standard.GetHour());
    const CTime summer(2002, 8, 30, 12, 0, 0, 1);
    EXPECT_EQ(0, (summer - decided).GetTotalSeconds());
}

TEST(CTime, DifferenceAndAdditionInSeconds) {
    const ScopedTimeZone zone("UTC0");
    CTime t(2002, 12, 31, 23, 59, 30);
    const CTime later(2003, 1, 1, 0, 0, 45);
    EXPECT_EQ(75, (later - t).GetTotalSeconds());
    EXPECT_EQ(-75, (t - later).GetTotalSeconds());
    t += later - t;
    EXPECT_EQ(later, t);
    EXPECT_EQ(2003, t.GetYear());
    t -= CTimeSpan(45);
    EXPECT_EQ(0, t.GetSecond());
    EXPECT_EQ(1, t.GetDay());
    EXPECT_EQ(CTime(2003, 1, 1, 0, 1, 0), t + 60);
    EXPECT_TRUE(t < later);
    EXPECT_EQ(CTime(1041379200), t);
}

TEST(CTime, UnrepresentableFieldsAreRefused) {
    const ScopedTimeZone zone("UTC0");
    EXPECT_FALSE(CTime::FromLocal(INT_MIN, 1, 1, 0, 0, 0).has_value());
    EXPECT_FALSE(CTime::FromLocal(2002, INT_MIN, 1, 0, 0, 0).has_value());
    EXPECT_FALSE(CTime::FromLocal(INT_MAX, INT_MAX, 1, 0, 0, 0).has_value());
    EXPECT_THROW(CTime(INT_MIN, 1, 1, 0, 0, 0), std::invalid_argument);
    // One second before the epoch is -1, a valid time, not a failure.
    const std::optional<CTime> beforeEpoch = CTime::FromLocal(1969, 12, 31, 23, 59, 59);
    ASSERT_TRUE(beforeEpoch.has_value());
    EXPECT_EQ(-1, beforeEpoch->GetTime());
}

TEST(CTime, ArithmeticSaturatesInsteadOfOverflowing) {
    const CTime top(std::numeric_limits<time_t>::max());
    const CTime bottom(std::numeric_limits<time_t>::min());
    EXPECT_EQ(top, top + 10);
    EXPECT_EQ(bottom, bottom - 10);
    EXPECT_EQ(top, CTime(5) - CTimeSpan(LLONG_MIN));
    EXPECT_EQ(LLONG_MAX, (top - bottom).GetTotalSeconds());
    EXPECT_EQ(LLONG_MIN, (bottom - top).GetTotalSeconds());
    // Too far out for calendar fields: they read 0.
    EXPECT_EQ(0, top.GetYear());
    EXPECT_EQ(0, top.GetMonth());
    EXPECT_EQ(0, top.GetDayOfWeek());
}
