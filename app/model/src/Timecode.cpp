#include "model/Timecode.h"

#include "Digits.h"

namespace {
// Subtracts one with 32-bit wrap-around instead of signed overflow.
int32_t MinusOne(int32_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v) - 1u); }
}  // namespace

String Timecode::Format() const {
    // "%.2d:%.2d:%.2d:%.2d", written without printf (it runs for every row
    // and every tick).
    String text;
    AppendTwoDigits(text, hh);
    text += ':';
    AppendTwoDigits(text, mm);
    text += ':';
    AppendTwoDigits(text, ss);
    text += ':';
    AppendTwoDigits(text, ff);
    return text;
}

void Timecode::CountDownOneSecond() {
    ss = MinusOne(ss);
    if (ss < 0) {
        ss = 59;
        mm = MinusOne(mm);
        if (mm < 0) {
            mm = 59;
            hh = MinusOne(hh);
        }
    }
}
