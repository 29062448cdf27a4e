#pragma once

#include "tarn/TarnString.h"
#include "tarn/platform/Time.h"

#include <cstdint>
#include <functional>

namespace tarn {

/// A UTC date and time with millisecond resolution. Arithmetic and comparison
/// work on the tick count (100 ns since 1601-01-01 00:00:00 UTC); a duration is
/// the instant that far after 1601-01-01 00:00:00.000. The fields always form a
/// valid date: a refused conversion leaves the value as it was, and a
/// construction that cannot be converted gives 1601-01-01 00:00:00.000.
/// A plain value; any thread.
class SystemTime {
public:
    /// The current time.
    SystemTime();
    explicit SystemTime(const platform::FILETIME& fileTime);
    /// A duration of the given milliseconds.
    explicit SystemTime(int milliseconds);
    /// Parses "YYYY-MM-DD hh:mm:ss[.fff]" (fields need no zero-fill).
    explicit SystemTime(const TarnString& text);
    SystemTime(const SystemTime&) = default;
    SystemTime& operator=(const SystemTime&) = default;

    static SystemTime now();

    SystemTime& operator+=(const SystemTime& other);
    SystemTime& operator+=(int milliseconds);
    /// The distance between two instants, as a duration; unchanged when other is later.
    SystemTime& operator-=(const SystemTime& other);
    SystemTime& operator-=(int milliseconds);

    bool operator==(const SystemTime& o) const { return ticks() == o.ticks(); }
    bool operator<(const SystemTime& o) const { return ticks() < o.ticks(); }
    bool operator>(const SystemTime& o) const { return ticks() > o.ticks(); }
    bool operator<=(const SystemTime& o) const { return ticks() <= o.ticks(); }
    bool operator>=(const SystemTime& o) const { return ticks() >= o.ticks(); }

    int64_t toMilliseconds() const { return ticks() / 10'000; }
    platform::FILETIME toFileTime() const;
    void get(platform::SYSTEMTIME& out) const;
    /// Appends the text of the value: 0 "2002-08-30 14:05:09.007",
    /// 1 "08.30.2002-14.05.09", 2 "14:05:09.007".
    void toString(TarnString& out, int formatCode) const;

private:
    friend struct std::hash<SystemTime>;
    int64_t ticks() const { return ticks_; }
    /// Stores the value of `ticks`; false (and no change) when out of range.
    bool setTicks(int64_t ticks);
    bool parse(const TarnString& text);

    // Only the tick count is kept; the calendar fields are worked out when
    // asked for. Arithmetic and comparison are the hot path of the reactor's
    // timer queue, and an 8-byte value keeps its entries small.
    int64_t ticks_ = 0;
};

}  // namespace tarn

/// Equal instants hash alike, so that time keys can index hash tables.
template <>
struct std::hash<tarn::SystemTime> {
    std::size_t operator()(const tarn::SystemTime& t) const noexcept { return std::hash<int64_t>{}(t.ticks()); }
};
