#pragma once

#include <cstdint>

namespace tarn::platform {

/// Calendar fields of a UTC instant, in the order of the Win32 record.
struct SYSTEMTIME {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;
    uint16_t wDayOfWeek = 0;  // 0 = Sunday; ignored on input
    uint16_t wDay = 0;
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
};

/// 100-nanosecond ticks since 1601-01-01 00:00:00 UTC, split in two halves.
struct FILETIME {
    uint32_t dwLowDateTime = 0;
    uint32_t dwHighDateTime = 0;
};

inline uint64_t toTicks(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }
inline FILETIME fromTicks(uint64_t ticks) {
    return FILETIME{static_cast<uint32_t>(ticks), static_cast<uint32_t>(ticks >> 32)};
}

/// Fields to ticks. Returns false and leaves `out` unchanged when the fields do
/// not form a valid date and time from 1601 on, or give ticks at or above 2^63.
bool systemTimeToFileTime(const SYSTEMTIME& in, FILETIME& out);

/// Ticks to fields, day of week included. Returns false and leaves `out`
/// unchanged for ticks at or above 2^63.
bool fileTimeToSystemTime(const FILETIME& in, SYSTEMTIME& out);

/// The current time in UTC.
SYSTEMTIME getSystemTime();

/// The current time in UTC as ticks, at the same millisecond resolution as
/// getSystemTime(), without the calendar fields.
FILETIME getSystemTimeAsFileTime();

/// Milliseconds of the monotonic clock, wrapping at 2^32 like GetTickCount.
uint32_t getTickCount();

}  // namespace tarn::platform
