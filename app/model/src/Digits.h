// Number formatting shared by the model's texts, without going through
// printf on every row.
#pragma once

#include <cstdint>

#include "external/String.h"

// Appends v as printf's "%.2d" writes it: at least two digits, zero-filled,
// a minus sign in front of negative values ("-01").
inline void AppendTwoDigits(String& out, int v) {
    char buffer[16];  // a sign, at most ten digits and the terminator
    char* p = buffer + sizeof buffer - 1;
    *p = '\0';
    // Unsigned magnitude, so INT_MIN needs no special case.
    uint32_t magnitude = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
    int digits = 0;
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++digits;
    } while (magnitude != 0);
    if (digits < 2) *--p = '0';
    if (v < 0) *--p = '-';
    out += p;
}
