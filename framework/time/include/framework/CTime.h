// CTime: the framework's time value, a count of whole seconds since the Unix
// epoch, read as local calendar time. CTimeSpan: a signed count of seconds.
// This is a public header with no Qt in it.
//
// Plain values; the calendar conversions follow the process's time zone (TZ)
// and are safe to call from any thread.
#pragma once

#include <ctime>
#include <compare>
#include <optional>

class CTimeSpan {
public:
    constexpr CTimeSpan() = default;
    constexpr CTimeSpan(long long seconds) : seconds_(seconds) {}  // implicit: a span is a count
    constexpr long long GetTotalSeconds() const { return seconds_; }
    friend constexpr auto operator<=>(CTimeSpan, CTimeSpan) = default;

private:
    long long seconds_ = 0;
};

class CTime {
public:
    // The epoch, 1970-01-01 00:00:00 UTC.
    constexpr CTime() = default;
    constexpr explicit CTime(time_t seconds) : time_(seconds) {}

    // Local calendar fields, normalised as mktime normalises them (month 13 is
    // January of the next year). dst: 1 daylight saving, 0 standard time, -1
    // let the library decide. Throws std::invalid_argument when the fields
    // cannot be represented; FromLocal is the form that does not throw.
    CTime(int year, int month, int day, int hour, int minute, int second, int dst = -1);
    static std::optional<CTime> FromLocal(int year, int month, int day, int hour, int minute, int second, int dst = -1);

    static CTime GetCurrentTime();

    time_t GetTime() const { return time_; }

    // Local calendar fields: year (four digits), month 1..12, day 1..31,
    // hour 0..23, minute, second, day of week 1 (Sunday) .. 7. All 0 for a
    // time too far out to break into fields.
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetDayOfWeek() const;
    // All the local fields at once; false (and *out untouched) when the time
    // cannot be broken down.
    bool GetLocalTm(struct tm* out) const;

    // Arithmetic saturates at the ends of the range instead of overflowing.
    CTimeSpan operator-(const CTime& other) const;
    CTime operator+(CTimeSpan span) const;
    CTime operator-(CTimeSpan span) const;
    CTime& operator+=(CTimeSpan span);
    CTime& operator-=(CTimeSpan span);

    friend constexpr auto operator<=>(const CTime&, const CTime&) = default;

private:
    time_t time_ = 0;
};
