// The playlist reader and the row texts: the input is a playlist document,
// parsed with CXMLDoc from memory, read with ReadPlaylistClock and
// ReadPlaylistEvent, shown with ColumnText and ImageIndex, and counted down
// with RunningEventState as the list control does once a second.
//
// Every value must be what pugixml read directly gives (each attribute its
// first occurrence, each element the first child element of that name, a
// missing one ""), every number must be the text read like atoi and clamped,
// and every text must be what printf's "%.2d" would write.

#include "FuzzSupport.h"

#include "external/String.h"
#include "external/XMLDoc.h"
#include "framework/CTime.h"
#include "model/PlaylistEvent.h"
#include "model/RunningEvent.h"
#include "model/Timecode.h"

#include <cstring>
#include <pugixml.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxRows = 2000;
constexpr long kMaxTicks = 5000;  // countdown steps per input

// atoi's reading, clamped to int: white space, a sign, decimal digits.
int number(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

std::string twoDigits(int a, int b, int c, int d) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d:%.2d", a, b, c, d);
    return text;
}

pugi::xml_node firstElement(pugi::xml_node parent, const char* name = nullptr) {
    for (pugi::xml_node n = parent.first_child(); n; n = n.next_sibling())
        if (n.type() == pugi::node_element && (name == nullptr || std::string(n.name()) == name)) return n;
    return pugi::xml_node();
}

pugi::xml_node nextElement(pugi::xml_node node) {
    for (node = node.next_sibling(); node; node = node.next_sibling())
        if (node.type() == pugi::node_element) return node;
    return pugi::xml_node();
}

// An attribute of a possibly null node: "" when either is missing.
const char* attr(pugi::xml_node n, const char* name) { return n.attribute(name).value(); }

Timecode timecode(pugi::xml_node n) {
    return Timecode(number(attr(n, "hh")), number(attr(n, "mm")), number(attr(n, "ss")), number(attr(n, "ff")));
}

void checkEvent(const PlaylistEvent& e, pugi::xml_node ev) {
    FUZZ_CHECK_EQ_STR(e.eventId.GetString(), attr(ev, "id"));
    FUZZ_CHECK_EQ_STR(e.title.GetString(), attr(ev, "name"));
    FUZZ_CHECK_EQ_STR(e.status.GetString(), attr(ev, "status"));
    FUZZ_CHECK_EQ_STR(e.quorServer.GetString(), attr(ev, "quorServer"));
    const pugi::xml_node segment = firstElement(ev, "Segment");
    FUZZ_CHECK_EQ_STR(e.segmentId.GetString(), attr(segment, "id"));
    const pugi::xml_node onAir = firstElement(segment, "OnAir");
    const pugi::xml_node date = firstElement(onAir, "Date");
    const Timecode start = timecode(firstElement(onAir, "Time"));
    const std::string startText = std::string(attr(date, "month")) + "/" + attr(date, "day") + "/" +
                                  attr(date, "year") + " " + twoDigits(start.hh, start.mm, start.ss, start.ff);
    FUZZ_CHECK_EQ_STR(e.startText.GetString(), startText);
    FUZZ_CHECK(e.duration == timecode(firstElement(onAir, "Duration")));
    const pugi::xml_node trigger = firstElement(ev, "QuorTrigger");
    FUZZ_CHECK(e.triggerActive == (std::string(attr(trigger, "active")) == "true"));
    FUZZ_CHECK(e.triggerSent == (std::string(attr(trigger, "sent")) == "true"));

    // The row as the list shows it.
    const std::string duration = twoDigits(e.duration.hh, e.duration.mm, e.duration.ss, e.duration.ff);
    FUZZ_CHECK_EQ_STR(e.duration.Format().GetString(), duration);
    const std::string columns[kPlaylistColumnCount] = {
        "",       attr(segment, "id"),   attr(ev, "id"), attr(ev, "name"), attr(ev, "status"), startText,
        duration, attr(ev, "quorServer")};
    for (int c = -2; c <= kPlaylistColumnCount + 1; ++c) {
        const std::string want = c >= 0 && c < kPlaylistColumnCount ? columns[c] : "";
        FUZZ_CHECK_EQ_STR(e.ColumnText(c).GetString(), want);
    }
    const int image = std::string(attr(segment, "id")) == "-1" ? kImageBlank
                      : e.triggerSent                          ? kImageTriggerSent
                      : e.triggerActive                        ? kImageTriggerActive
                                                               : kImageTriggerIdle;
    FUZZ_CHECK(e.ImageIndex() == image);
    FUZZ_CHECK(e.IsRunning() == (std::string(attr(ev, "status")) == "Running"));
}

void checkClock(const CElementNode& root, pugi::xml_node droot) {
    const std::optional<CTime> clock = ReadPlaylistClock(root);
    const pugi::xml_node c = firstElement(droot);
    if (!c) {
        FUZZ_CHECK(!clock.has_value());
        return;
    }
    const pugi::xml_node date = firstElement(c, "Date");
    const pugi::xml_node time = firstElement(c, "Time");
    const std::optional<CTime> want =
        CTime::FromLocal(number(attr(date, "year")), number(attr(date, "month")), number(attr(date, "day")),
                         number(attr(time, "hh")), number(attr(time, "mm")), number(attr(time, "ss")), -1);
    FUZZ_CHECK(clock.has_value() == want.has_value());
    if (!clock) return;
    FUZZ_CHECK(clock->GetTime() == want->GetTime());
    // A clock that was read breaks down into fields that give it back.
    struct tm fields {};
    if (!clock->GetLocalTm(&fields) || fields.tm_year > INT_MAX - 1900) return;
    const std::optional<CTime> again = CTime::FromLocal(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday,
                                                        fields.tm_hour, fields.tm_min, fields.tm_sec, fields.tm_isdst);
    FUZZ_CHECK(again.has_value() && again->GetTime() == clock->GetTime());
}

// Seconds of a countdown whose minutes and seconds are in range, and the
// countdown that many seconds give (negative ones borrow from the hours:
// one second before 00:00:00 is -01:59:59).
long long seconds(const Timecode& t) { return static_cast<long long>(t.hh) * 3600 + t.mm * 60 + t.ss; }
bool plain(const Timecode& t) {
    return t.mm >= 0 && t.mm < 60 && t.ss >= 0 && t.ss < 60 && t.hh > -1000000 && t.hh < 1000000;
}
Timecode fromSeconds(long long s, int ff) {
    long long h = s / 3600;
    if (s % 3600 < 0) --h;
    const long long rest = s - h * 3600;
    return Timecode(static_cast<int>(h), static_cast<int>(rest / 60), static_cast<int>(rest % 60), ff);
}

void checkCountdown(const std::vector<PlaylistEvent>& rows, long steps) {
    RunningEventState state;
    int wantRow = -1;
    Timecode want;
    for (size_t i = 0; i < rows.size(); ++i) {
        const int row = static_cast<int>(i);
        const bool running = rows[i].IsRunning();
        FUZZ_CHECK(state.ApplyRunningRule(row, rows[i]) == running);
        if (running && row != wantRow) {
            wantRow = row;
            want = rows[i].duration;
        }
        FUZZ_CHECK(state.RunningRow() == wantRow);
        FUZZ_CHECK(state.Countdown() == want);
    }
    // The same row again goes on counting; it does not restart.
    if (wantRow >= 0) {
        RunningEventState again = state;
        FUZZ_CHECK(again.Tick());
        FUZZ_CHECK(again.ApplyRunningRule(wantRow, rows[static_cast<size_t>(wantRow)]));
        FUZZ_CHECK(!(again.Countdown() == want));
    }

    RunningEventState whole = state;
    RunningEventState split = state;
    FUZZ_CHECK(whole.Tick(steps) == (wantRow >= 0));
    const long first = steps / 3;
    FUZZ_CHECK(split.Tick(first) == (wantRow >= 0));
    for (long i = first; i < steps; ++i) FUZZ_CHECK(split.Tick() == (wantRow >= 0));
    FUZZ_CHECK(whole.Countdown() == split.Countdown());
    FUZZ_CHECK(whole.RunningRow() == wantRow);
    if (wantRow < 0) {
        FUZZ_CHECK(whole.Countdown() == Timecode());
        return;
    }
    FUZZ_CHECK(whole.Countdown().ff == want.ff);  // frames never count
    if (plain(want)) {
        const Timecode left = fromSeconds(seconds(want) - steps, want.ff);
        FUZZ_CHECK_MSG(whole.Countdown() == left, std::string("from ") + want.Format().GetString() + " by " +
                                                      std::to_string(steps) + ": " +
                                                      whole.Countdown().Format().GetString());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    CXMLDoc doc;
    CMemXMLSrc source;
    source.SetMemPtr(String(text, static_cast<int>(size)));
    const bool parsed = doc.Parse(source);
    const CElementNode root = doc.GetRootElement();

    pugi::xml_document direct;
    const bool ok = direct.load_buffer(text, size, pugi::parse_default).status == pugi::status_ok;
    const pugi::xml_node droot = firstElement(direct);
    // A zero byte is never XML: the document refuses it.
    const bool zero = size > 0 && std::memchr(data, 0, size) != nullptr;
    FUZZ_CHECK(parsed == (ok && droot && !nextElement(droot) && !zero));
    if (!parsed) {
        FUZZ_CHECK(root.IsNull());
        FUZZ_CHECK(!ReadPlaylistClock(root).has_value());
        FUZZ_CHECK(FirstPlaylistEvent(root).IsNull());
        FUZZ_CHECK(ReadPlaylistName(root).IsEmpty());
        // An absent event reads as an empty row.
        const PlaylistEvent none = ReadPlaylistEvent(CElementNode());
        FUZZ_CHECK_EQ_STR(none.ColumnText(kColumnStartTime).GetString(), "// 00:00:00:00");
        FUZZ_CHECK(none.ImageIndex() == kImageTriggerIdle);
        return 0;
    }
    FUZZ_CHECK_EQ_STR(ReadPlaylistName(root).GetString(), attr(droot, "name"));
    checkClock(root, droot);

    std::vector<PlaylistEvent> rows;
    pugi::xml_node ev = nextElement(firstElement(droot));
    for (CElementNode e = FirstPlaylistEvent(root); !e.IsNull() && rows.size() < kMaxRows; e = e.GetNextSibling()) {
        FUZZ_CHECK(static_cast<bool>(ev));
        rows.push_back(ReadPlaylistEvent(e));
        checkEvent(rows.back(), ev);
        ev = nextElement(ev);
    }
    FUZZ_CHECK(rows.size() == kMaxRows || !ev);
    checkCountdown(rows, static_cast<long>(size % static_cast<size_t>(kMaxTicks)));
    return 0;
}
