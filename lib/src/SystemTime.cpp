#include "tarn/SystemTime.h"

#include "tarn/Tokenizer.h"

#include <cctype>
#include <cstdlib>
#include <limits>

namespace tarn {

namespace {

constexpr int64_t kTicksPerMilli = 10'000;

// atoi, refused (false) when the value does not fit the field's range.
bool field(const char* text, int low, int high, uint16_t& out) {
    const long v = std::strtol(text, nullptr, 10);
    if (v < low || v > high) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

// Milliseconds from the digits after the point, right-padded to three:
// ".5" is 500, ".25" is 250, ".001" is 1, ".0019" is 1.
int millisecondsOf(const char* text) {
    const char* point = text;
    while (*point != '\0' && *point != '.') ++point;
    if (*point != '.') return 0;
    int ms = 0;
    const char* p = point + 1;
    for (int i = 0; i < 3; ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(*p)) != 0;
        ms = ms * 10 + (digit ? *p - '0' : 0);
        if (digit) ++p;
    }
    return ms;
}

}  // namespace

SystemTime::SystemTime() {
    const uint64_t ticks = platform::toTicks(platform::getSystemTimeAsFileTime());
    if (ticks < (uint64_t{1} << 63)) setTicks(static_cast<int64_t>(ticks));
}

SystemTime::SystemTime(const platform::FILETIME& fileTime) {
    const uint64_t ticks = platform::toTicks(fileTime);
    if (ticks < (uint64_t{1} << 63)) setTicks(static_cast<int64_t>(ticks));
}

SystemTime::SystemTime(int milliseconds) { setTicks(int64_t{milliseconds} * kTicksPerMilli); }

SystemTime::SystemTime(const TarnString& text) {
    if (!parse(text)) ticks_ = 0;
}

SystemTime SystemTime::now() { return SystemTime(); }

bool SystemTime::parse(const TarnString& text) {
    const Tokenizer parts(text.c_str(), ' ');
    if (parts.getCount() != 2) return false;
    const Tokenizer date(parts.getToken(0), '-');
    const Tokenizer time(parts.getToken(1), ':');
    if (date.getCount() != 3 || time.getCount() != 3) return false;
    platform::SYSTEMTIME st;
    // The seconds token may carry a fraction; atof truncated, as before.
    const double seconds = std::atof(time.getToken(2));
    if (!(seconds >= 0.0 && seconds < 60.0)) return false;
    st.wSecond = static_cast<uint16_t>(seconds);
    st.wMilliseconds = static_cast<uint16_t>(millisecondsOf(time.getToken(2)));
    if (!field(date.getToken(0), 0, 65535, st.wYear) || !field(date.getToken(1), 0, 65535, st.wMonth) ||
        !field(date.getToken(2), 0, 65535, st.wDay) || !field(time.getToken(0), 0, 65535, st.wHour) ||
        !field(time.getToken(1), 0, 65535, st.wMinute)) {
        return false;
    }
    platform::FILETIME ft;
    if (!platform::systemTimeToFileTime(st, ft)) return false;
    return setTicks(static_cast<int64_t>(platform::toTicks(ft)));
}

bool SystemTime::setTicks(int64_t ticks) {
    // Every count from 0 below 2^63 converts to fields, so this is the one test.
    if (ticks < 0) return false;
    ticks_ = ticks;
    return true;
}

void SystemTime::get(platform::SYSTEMTIME& out) const {
    platform::fileTimeToSystemTime(platform::fromTicks(static_cast<uint64_t>(ticks())), out);
}

platform::FILETIME SystemTime::toFileTime() const { return platform::fromTicks(static_cast<uint64_t>(ticks())); }

SystemTime& SystemTime::operator+=(const SystemTime& other) {
    // Both counts are below 2^63; the sum is refused once it reaches it.
    const int64_t a = ticks();
    const int64_t b = other.ticks();
    if (a <= std::numeric_limits<int64_t>::max() - b) setTicks(a + b);
    return *this;
}

SystemTime& SystemTime::operator+=(int milliseconds) {
    const int64_t a = ticks();
    const int64_t d = int64_t{milliseconds} * kTicksPerMilli;
    if (d <= 0 || a <= std::numeric_limits<int64_t>::max() - d) setTicks(a + d);
    return *this;
}

SystemTime& SystemTime::operator-=(const SystemTime& other) {
    setTicks(ticks() - other.ticks());
    return *this;
}

SystemTime& SystemTime::operator-=(int milliseconds) {
    // -INT_MIN overflows an int, so negate in 64 bits.
    const int64_t a = ticks();
    const int64_t d = -(int64_t{milliseconds} * kTicksPerMilli);
    if (d <= 0 || a <= std::numeric_limits<int64_t>::max() - d) setTicks(a + d);
    return *this;
}

void SystemTime::toString(TarnString& out, int formatCode) const {
    platform::SYSTEMTIME st;
    get(st);
    TarnString text;
    switch (formatCode) {
        case 0:
            text.format("%04d-%02d-%02d %02d:%02d:%02d.%03d", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                        st.wSecond, st.wMilliseconds);
            break;
        case 1:
            text.format("%02d.%02d.%04d-%02d.%02d.%02d", st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute,
                        st.wSecond);
            break;
        case 2: text.format("%02d:%02d:%02d.%03d", st.wHour, st.wMinute, st.wSecond, st.wMilliseconds); break;
        default: text.format("Unknown Time Format %d Requested", formatCode); break;
    }
    out.append(text);
}

}  // namespace tarn
