// Timecode: hours, minutes, seconds and a frame number, each a signed 32-bit
// integer. No frame rate exists: frames are carried and shown, never computed.
// A plain value.
#pragma once

#include <cstdint>

#include "external/String.h"

struct Timecode {
    int32_t hh = 0;
    int32_t mm = 0;
    int32_t ss = 0;
    int32_t ff = 0;

    Timecode() = default;
    Timecode(int hours, int minutes, int seconds, int frames) : hh(hours), mm(minutes), ss(seconds), ff(frames) {}

    // "hh:mm:ss:ff", each field at least two digits, zero-filled; a negative
    // field keeps its sign in front ("-01").
    String Format() const;

    // One second less: seconds borrow from minutes, minutes from hours, and
    // there is no lower bound (00:00:00:ff becomes -01:59:59:ff). Frames never
    // change. Fields wrap like 32-bit integers at their ends.
    void CountDownOneSecond();

    friend bool operator==(const Timecode&, const Timecode&) = default;
};
