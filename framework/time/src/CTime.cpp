#include "framework/CTime.h"

#include <climits>
#include <limits>
#include <stdexcept>

namespace {

constexpr long long kMaxTime = std::numeric_limits<time_t>::max();
constexpr long long kMinTime = std::numeric_limits<time_t>::min();

time_t SaturatingAdd(time_t a, long long b) {
    long long sum = 0;
    if (__builtin_add_overflow(static_cast<long long>(a), b, &sum)) return b > 0 ? kMaxTime : kMinTime;
    return static_cast<time_t>(sum);
}

bool FitsInt(long long v) { return v >= INT_MIN && v <= INT_MAX; }

}  // namespace

std::optional<CTime> CTime::FromLocal(int year, int month, int day, int hour, int minute, int second, int dst) {
    // tm counts years from 1900 and months from 0; the shifted values must
    // still be ints.
    const long long tmYear = static_cast<long long>(year) - 1900;
    const long long tmMonth = static_cast<long long>(month) - 1;
    if (!FitsInt(tmYear) || !FitsInt(tmMonth)) return std::nullopt;
    struct tm fields {};
    fields.tm_year = static_cast<int>(tmYear);
    fields.tm_mon = static_cast<int>(tmMonth);
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = dst < 0 ? -1 : (dst > 0 ? 1 : 0);
    // mktime gives -1 both for failure and for one valid second; it sets
    // tm_wday only on success.
    fields.tm_wday = -1;
    const time_t t = mktime(&fields);
    if (t == static_cast<time_t>(-1) && fields.tm_wday == -1) return std::nullopt;
    return CTime(t);
}

CTime::CTime(int year, int month, int day, int hour, int minute, int second, int dst) {
    const std::optional<CTime> t = FromLocal(year, month, day, hour, minute, second, dst);
    if (!t) throw std::invalid_argument("CTime: calendar fields out of range");
    time_ = t->time_;
}

CTime CTime::GetCurrentTime() { return CTime(time(nullptr)); }

bool CTime::GetLocalTm(struct tm* out) const {
    struct tm fields {};
    if (out == nullptr || localtime_r(&time_, &fields) == nullptr) return false;
    *out = fields;
    return true;
}

namespace {
struct tm LocalOrZero(const CTime& t) {
    struct tm fields {};
    if (!t.GetLocalTm(&fields)) {
        fields = tm{};
        fields.tm_year = -1900;
        fields.tm_mon = -1;
        fields.tm_wday = -1;
    }
    return fields;
}
}  // namespace

int CTime::GetYear() const {
    const long long year = LocalOrZero(*this).tm_year + 1900LL;
    return static_cast<int>(year > INT_MAX ? INT_MAX : year);
}
int CTime::GetMonth() const { return LocalOrZero(*this).tm_mon + 1; }
int CTime::GetDay() const { return LocalOrZero(*this).tm_mday; }
int CTime::GetHour() const { return LocalOrZero(*this).tm_hour; }
int CTime::GetMinute() const { return LocalOrZero(*this).tm_min; }
int CTime::GetSecond() const { return LocalOrZero(*this).tm_sec; }
int CTime::GetDayOfWeek() const { return LocalOrZero(*this).tm_wday + 1; }

CTimeSpan CTime::operator-(const CTime& other) const {
    long long diff = 0;
    if (__builtin_sub_overflow(static_cast<long long>(time_), static_cast<long long>(other.time_), &diff))
        return CTimeSpan(time_ > other.time_ ? LLONG_MAX : LLONG_MIN);
    return CTimeSpan(diff);
}

CTime CTime::operator+(CTimeSpan span) const { return CTime(SaturatingAdd(time_, span.GetTotalSeconds())); }

CTime CTime::operator-(CTimeSpan span) const {
    const long long s = span.GetTotalSeconds();
    // Negating LLONG_MIN would overflow; moving back by it saturates anyway.
    return CTime(s == LLONG_MIN ? SaturatingAdd(SaturatingAdd(time_, LLONG_MAX), 1) : SaturatingAdd(time_, -s));
}

CTime& CTime::operator+=(CTimeSpan span) { return *this = *this + span; }
CTime& CTime::operator-=(CTimeSpan span) { return *this = *this - span; }
