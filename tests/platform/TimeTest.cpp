#include "tarn/platform/Time.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace tarn::platform;

namespace {

SYSTEMTIME fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(mo);
    st.wDay = static_cast<uint16_t>(d);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(mi);
    st.wSecond = static_cast<uint16_t>(s);
    st.wMilliseconds = static_cast<uint16_t>(ms);
    return st;
}

uint64_t ticksOf(const SYSTEMTIME& st) {
    FILETIME ft;
    EXPECT_TRUE(systemTimeToFileTime(st, ft));
    return toTicks(ft);
}

}  // namespace

TEST(FileTime, KnownInstants) {
    EXPECT_EQ(0u, ticksOf(fields(1601, 1, 1)));
    // The Unix epoch, a well-known constant of the Win32 world.
    EXPECT_EQ(116444736000000000ull, ticksOf(fields(1970, 1, 1)));
    EXPECT_EQ(15'000'000u, ticksOf(fields(1601, 1, 1, 0, 0, 1, 500)));
}

TEST(FileTime, RoundTripSetsDayOfWeek) {
    SYSTEMTIME st;
    ASSERT_TRUE(fileTimeToSystemTime(fromTicks(ticksOf(fields(2002, 8, 30, 14, 5, 9, 7))), st));
    EXPECT_EQ(2002, st.wYear);
    EXPECT_EQ(8, st.wMonth);
    EXPECT_EQ(30, st.wDay);
    EXPECT_EQ(5, st.wDayOfWeek);  // a Friday
    EXPECT_EQ(14, st.wHour);
    EXPECT_EQ(5, st.wMinute);
    EXPECT_EQ(9, st.wSecond);
    EXPECT_EQ(7, st.wMilliseconds);
    ASSERT_TRUE(fileTimeToSystemTime(fromTicks(0), st));
    EXPECT_EQ(1, st.wDayOfWeek);  // 1601-01-01 was a Monday
}

TEST(FileTime, LeapDaysAndEveryDayOfAYearRoundTrip) {
    FILETIME ft;
    EXPECT_TRUE(systemTimeToFileTime(fields(2000, 2, 29), ft));
    EXPECT_FALSE(systemTimeToFileTime(fields(1900, 2, 29), ft));
    EXPECT_FALSE(systemTimeToFileTime(fields(2001, 2, 29), ft));
    uint64_t t = ticksOf(fields(2024, 1, 1));
    for (int day = 0; day < 366; ++day, t += 864'000'000'000ull) {
        SYSTEMTIME st;
        ASSERT_TRUE(fileTimeToSystemTime(fromTicks(t), st));
        ASSERT_EQ(t, ticksOf(st));
    }
}

TEST(FileTime, InvalidFieldsAreRefusedAndLeaveTheOutputAlone) {
    const FILETIME marker = fromTicks(42);
    for (const SYSTEMTIME& bad : {fields(1600, 12, 31), fields(2002, 0, 1), fields(2002, 13, 1), fields(2002, 4, 31),
                                  fields(2002, 1, 0), fields(2002, 1, 1, 24), fields(2002, 1, 1, 0, 60),
                                  fields(2002, 1, 1, 0, 0, 60), fields(2002, 1, 1, 0, 0, 0, 1000)}) {
        FILETIME ft = marker;
        EXPECT_FALSE(systemTimeToFileTime(bad, ft));
        EXPECT_EQ(42u, toTicks(ft));
    }
}

TEST(FileTime, TicksAtOrAbove2To63AreRefused) {
    SYSTEMTIME st = fields(2002, 1, 1);
    EXPECT_FALSE(fileTimeToSystemTime(fromTicks(uint64_t{1} << 63), st));
    EXPECT_FALSE(fileTimeToSystemTime(fromTicks(~uint64_t{0}), st));
    EXPECT_EQ(2002, st.wYear);
    EXPECT_TRUE(fileTimeToSystemTime(fromTicks((uint64_t{1} << 63) - 1), st));
    EXPECT_EQ(30828, st.wYear);
    FILETIME ft;
    EXPECT_TRUE(systemTimeToFileTime(fields(30828, 9, 14, 2, 48, 5, 477), ft));
    EXPECT_FALSE(systemTimeToFileTime(fields(30828, 9, 14, 2, 48, 6), ft));
}

TEST(FileTime, SystemTimeIsUtc) {
    const time_t before = time(nullptr);
    const SYSTEMTIME now = getSystemTime();
    tm utc{};
    gmtime_r(&before, &utc);
    EXPECT_EQ(utc.tm_year + 1900, now.wYear);
    // Within a minute of the C library's UTC; local time would be hours off in most zones.
    const uint64_t diff = ticksOf(now) / 10'000'000 - (116444736000000000ull / 10'000'000 + before);
    EXPECT_LT(diff, 60u);
}
