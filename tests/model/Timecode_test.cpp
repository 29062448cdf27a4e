#include "model/Timecode.h"

#include <gtest/gtest.h>

#include <climits>

TEST(Timecode, FormatZeroFillsAndKeepsSigns) {
    EXPECT_STREQ("00:00:00:00", Timecode().Format());
    EXPECT_STREQ("06:05:04:03", Timecode(6, 5, 4, 3).Format());
    EXPECT_STREQ("23:59:59:24", Timecode(23, 59, 59, 24).Format());
    EXPECT_STREQ("-01:59:59:00", Timecode(-1, 59, 59, 0).Format());
    EXPECT_STREQ("100:-05:07:-12", Timecode(100, -5, 7, -12).Format());
    EXPECT_STREQ("-2147483648:00:00:2147483647", Timecode(INT_MIN, 0, 0, INT_MAX).Format());
}

TEST(Timecode, CountDownBorrowsFromMinutesAndHours) {
    Timecode a(1, 0, 0, 10);
    a.CountDownOneSecond();
    EXPECT_STREQ("00:59:59:10", a.Format());

    Timecode b(0, 10, 0, 5);
    b.CountDownOneSecond();
    EXPECT_STREQ("00:09:59:05", b.Format());

    Timecode c(0, 0, 42, 7);
    c.CountDownOneSecond();
    EXPECT_EQ(Timecode(0, 0, 41, 7), c);
}

TEST(Timecode, CountDownGoesThroughZeroWithoutBound) {
    Timecode t(0, 0, 1, 0);
    t.CountDownOneSecond();
    EXPECT_STREQ("00:00:00:00", t.Format());
    t.CountDownOneSecond();
    EXPECT_STREQ("-01:59:59:00", t.Format());
    t.CountDownOneSecond();
    EXPECT_STREQ("-01:59:58:00", t.Format());

    // From -01:59:58 another 3598 steps reach -01:00:00, the next -02:59:59.
    for (int i = 0; i < 3598; ++i) t.CountDownOneSecond();
    EXPECT_STREQ("-01:00:00:00", t.Format());
    t.CountDownOneSecond();
    EXPECT_STREQ("-02:59:59:00", t.Format());
}

TEST(Timecode, FramesNeverChange) {
    Timecode t(0, 0, 0, 24);
    for (int i = 0; i < 125; ++i) t.CountDownOneSecond();
    EXPECT_EQ(24, t.ff);
    EXPECT_EQ(-1, t.hh);
    EXPECT_EQ(57, t.mm);
    EXPECT_EQ(55, t.ss);
}

TEST(Timecode, ExtremeFieldsWrapWithoutOverflow) {
    Timecode low(INT_MIN, 0, 0, 1);
    low.CountDownOneSecond();
    EXPECT_EQ(Timecode(INT_MAX, 59, 59, 1), low);

    // A seconds field at INT_MIN wraps to INT_MAX, which is not negative, so
    // nothing borrows.
    Timecode wrapSeconds(1, 1, INT_MIN, 0);
    wrapSeconds.CountDownOneSecond();
    EXPECT_EQ(Timecode(1, 1, INT_MAX, 0), wrapSeconds);

    Timecode wrapMinutes(5, INT_MIN, 0, 0);
    wrapMinutes.CountDownOneSecond();
    EXPECT_EQ(Timecode(5, INT_MAX, 59, 0), wrapMinutes);
}
