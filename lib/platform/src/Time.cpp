#include "tarn/platform/Time.h"

#include <ctime>

namespace tarn::platform {

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerMilli = 10'000;
constexpr uint64_t kSecondsPerDay = 86'400;
constexpr uint64_t kTickLimit = uint64_t{1} << 63;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysTo1970 = 134'774;

bool isLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

}  // namespace

bool systemTimeToFileTime(const SYSTEMTIME& in, FILETIME& out) {
    if (in.wYear < 1601 || in.wYear > 30828 || in.wMonth < 1 || in.wMonth > 12 || in.wDay < 1 ||
        in.wDay > daysInMonth(in.wYear, in.wMonth) || in.wHour > 23 || in.wMinute > 59 || in.wSecond > 59 ||
        in.wMilliseconds > 999) {
        return false;
    }
    const uint64_t days = static_cast<uint64_t>(daysFromCivil(in.wYear, in.wMonth, in.wDay) + kDaysTo1970);
    const uint64_t seconds = days * kSecondsPerDay + in.wHour * 3600u + in.wMinute * 60u + in.wSecond;
    const uint64_t ticks = seconds * kTicksPerSecond + in.wMilliseconds * kTicksPerMilli;
    if (ticks >= kTickLimit) return false;
    out = fromTicks(ticks);
    return true;
}

bool fileTimeToSystemTime(const FILETIME& in, SYSTEMTIME& out) {
    const uint64_t ticks = toTicks(in);
    if (ticks >= kTickLimit) return false;
    const uint64_t seconds = ticks / kTicksPerSecond;
    const uint64_t days = seconds / kSecondsPerDay;
    const uint64_t secondOfDay = seconds % kSecondsPerDay;
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    civilFromDays(static_cast<int64_t>(days) - kDaysTo1970, y, m, d);
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(m);
    st.wDay = static_cast<uint16_t>(d);
    st.wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    st.wHour = static_cast<uint16_t>(secondOfDay / 3600);
    st.wMinute = static_cast<uint16_t>(secondOfDay / 60 % 60);
    st.wSecond = static_cast<uint16_t>(secondOfDay % 60);
    st.wMilliseconds = static_cast<uint16_t>(ticks % kTicksPerSecond / kTicksPerMilli);
    out = st;
    return true;
}

FILETIME getSystemTimeAsFileTime() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return fromTicks((static_cast<uint64_t>(ts.tv_sec) + kDaysTo1970 * kSecondsPerDay) * kTicksPerSecond +
                     static_cast<uint64_t>(ts.tv_nsec) / 1'000'000 * kTicksPerMilli);
}

SYSTEMTIME getSystemTime() {
    SYSTEMTIME st;
    fileTimeToSystemTime(getSystemTimeAsFileTime(), st);
    return st;
}

uint32_t getTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1'000'000u);
}

}  // namespace tarn::platform
