// SystemTime's text parsing: "YYYY-MM-DD hh:mm:ss[.fff]", as the input.
//
// The value must be the one the calendar (std::chrono) gives for the fields
// the rule reads: the text up to its first zero byte, split at every ' ' into
// exactly two parts, the date at every '-' and the time at every ':' into
// exactly three; year, month, day, hour and minute read like strtol and
// refused outside 0..65535; the seconds read like atof and truncated, refused
// outside [0, 60); milliseconds from the first three digits after the point,
// right-padded. A date the calendar refuses, or one at or beyond 2^63 ticks
// since 1601, gives 1601-01-01 00:00:00.000. The text of a value must parse
// back to it, and whole seconds of arithmetic must come back.

#include "FuzzSupport.h"

#include "tarn/SystemTime.h"
#include "tarn/TarnString.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == at) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

bool field(const std::string& text, long& out) {
    out = std::strtol(text.c_str(), nullptr, 10);
    return out >= 0 && out <= 65535;
}

struct Fields {
    long year = 1601, month = 1, day = 1, hour = 0, minute = 0, second = 0, ms = 0;
};

// The milliseconds since 1601-01-01 of the text, or -1 when it is refused.
long long expectedMs(const std::string& text, Fields& f) {
    const std::vector<std::string> parts = split(text, ' ');
    if (parts.size() != 2) return -1;
    const std::vector<std::string> date = split(parts[0], '-');
    const std::vector<std::string> time = split(parts[1], ':');
    if (date.size() != 3 || time.size() != 3) return -1;
    const double seconds = std::atof(time[2].c_str());
    if (!(seconds >= 0.0 && seconds < 60.0)) return -1;
    f.second = static_cast<long>(seconds);
    const size_t point = time[2].find('.');
    f.ms = 0;
    for (size_t i = 0, p = point == std::string::npos ? time[2].size() : point + 1; point != std::string::npos && i < 3;
         ++i) {
        const bool digit = p < time[2].size() && std::isdigit(static_cast<unsigned char>(time[2][p])) != 0;
        f.ms = f.ms * 10 + (digit ? time[2][p] - '0' : 0);
        if (digit) ++p;
    }
    if (!field(date[0], f.year) || !field(date[1], f.month) || !field(date[2], f.day) || !field(time[0], f.hour) ||
        !field(time[1], f.minute)) {
        return -1;
    }
    // A day or month beyond 255 would wrap inside std::chrono's types.
    if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31) return -1;
    using namespace std::chrono;
    const year_month_day ymd{year{static_cast<int>(f.year)}, month{static_cast<unsigned>(f.month)},
                             day{static_cast<unsigned>(f.day)}};
    if (f.year < 1601 || !ymd.ok() || f.hour > 23 || f.minute > 59) return -1;
    const long long days = (sys_days{ymd} - sys_days{year{1601} / January / 1}).count();
    const long long ms = (((days * 24 + f.hour) * 60 + f.minute) * 60 + f.second) * 1000 + f.ms;
    // Ticks of 100 ns stay below 2^63.
    if (ms > 922'337'203'685'477LL) return -1;
    return ms;
}

std::string text0(const Fields& f) {
    char out[96];
    std::snprintf(out, sizeof out, "%04ld-%02ld-%02ld %02ld:%02ld:%02ld.%03ld", f.year, f.month, f.day, f.hour,
                  f.minute, f.second, f.ms);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string text = fuzz::cText(raw);
    const tarn::SystemTime t{tarn::TarnString(raw.data(), static_cast<int>(size))};

    Fields f;
    const long long ms = expectedMs(text, f);
    if (ms < 0) f = Fields();
    FUZZ_CHECK_MSG(t.toMilliseconds() == (ms < 0 ? 0 : ms),
                   "got " + std::to_string(t.toMilliseconds()) + " ms, want " + std::to_string(ms));

    tarn::TarnString shown;
    t.toString(shown, 0);
    FUZZ_CHECK_EQ_STR(shown.c_str(), text0(f));
    const tarn::SystemTime back{shown};
    FUZZ_CHECK(back == t);

    char other[64];
    std::snprintf(other, sizeof other, "%02ld.%02ld.%04ld-%02ld.%02ld.%02ld", f.month, f.day, f.year, f.hour, f.minute,
                  f.second);
    tarn::TarnString one("prefix ");
    t.toString(one, 1);
    FUZZ_CHECK_EQ_STR(one.c_str(), std::string("prefix ") + other);
    tarn::TarnString two;
    t.toString(two, 2);
    const std::string whole = text0(f);
    FUZZ_CHECK_EQ_STR(two.c_str(), whole.substr(whole.find(' ') + 1));
    tarn::TarnString unknown;
    t.toString(unknown, 7);
    FUZZ_CHECK_EQ_STR(unknown.c_str(), "Unknown Time Format 7 Requested");

    // Arithmetic: forward and back by a whole day, unless that leaves the range.
    tarn::SystemTime later = t;
    later += 86'400'000;
    if (later > t) {
        FUZZ_CHECK(later.toMilliseconds() == t.toMilliseconds() + 86'400'000);
        later -= 86'400'000;
        FUZZ_CHECK(later == t);
    } else {
        FUZZ_CHECK(later == t);  // refused: unchanged
    }
    // A distance to a later instant leaves the value unchanged.
    tarn::SystemTime d = t;
    tarn::SystemTime after = t;
    after += 1000;
    if (after > t) {
        d -= after;
        FUZZ_CHECK(d == t);
    }
    return 0;
}
