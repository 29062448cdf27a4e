#include "model/PlaylistEvent.h"

#include "Digits.h"

namespace {

// The attributes read from each element. Each element's attributes are read
// in one pass; an absent one reads as "".
const char* const kEventNames[] = {"id", "name", "status", "quorServer"};
const char* const kIdName[] = {"id"};
const char* const kDateNames[] = {"month", "day", "year"};
const char* const kClockDateNames[] = {"year", "month", "day"};
const char* const kTimeNames[] = {"hh", "mm", "ss", "ff"};
const char* const kTriggerNames[] = {"active", "sent"};

// A flag is true only for the exact text "true".
bool IsTrue(const char* value) { return String(value).Compare("true") == 0; }

Timecode ReadTimecode(const CElementNode& element) {
    const char* v[4];
    element.GetAttributeValues(kTimeNames, v, 4);
    return Timecode(TextToInt(v[0]), TextToInt(v[1]), TextToInt(v[2]), TextToInt(v[3]));
}

}  // namespace

const char* PlaylistColumnHeading(int column) {
    static const char* const kHeadings[kPlaylistColumnCount] = {"",       "Segment",   "Id",       "Title",
                                                                "Status", "StartTime", "Duration", "QuorServer"};
    return column >= 0 && column < kPlaylistColumnCount ? kHeadings[column] : "";
}

int PlaylistEvent::ImageIndex() const {
    if (segmentId.Compare("-1") == 0) return kImageBlank;
    if (triggerSent) return kImageTriggerSent;
    if (triggerActive) return kImageTriggerActive;
    return kImageTriggerIdle;
}

String PlaylistEvent::ColumnText(int column) const {
    switch (column) {
        case kColumnSegment: return segmentId;
        case kColumnId: return eventId;
        case kColumnTitle: return title;
        case kColumnStatus: return status;
        case kColumnStartTime: return startText;
        case kColumnDuration: return duration.Format();
        case kColumnQuorServer: return quorServer;
        default: return String();
    }
}

bool PlaylistEvent::IsRunning() const { return status.Compare("Running") == 0; }

std::optional<CTime> ReadPlaylistClock(const CElementNode& root) {
    const CElementNode clock = root.GetFirstChild();
    if (clock.IsNull()) return std::nullopt;
    const char* date[3];
    clock("Date").GetAttributeValues(kClockDateNames, date, 3);
    const char* time[3];
    clock("Time").GetAttributeValues(kTimeNames, time, 3);
    return CTime::FromLocal(TextToInt(date[0]), TextToInt(date[1]), TextToInt(date[2]), TextToInt(time[0]),
                            TextToInt(time[1]), TextToInt(time[2]), -1);
}

PlaylistEvent ReadPlaylistEvent(const CElementNode& event) {
    // Every lookup is made whether or not the element or attribute exists:
    // a missing one is a null handle and reads as "".
    PlaylistEvent e;
    const char* own[4];
    event.GetAttributeValues(kEventNames, own, 4);
    e.eventId = own[0];
    e.title = own[1];
    e.status = own[2];
    e.quorServer = own[3];

    const CElementNode segment = event("Segment");
    const char* segmentId[1];
    segment.GetAttributeValues(kIdName, segmentId, 1);
    e.segmentId = segmentId[0];

    const CElementNode onAir = segment("OnAir");
    const char* date[3];
    onAir("Date").GetAttributeValues(kDateNames, date, 3);
    const char* time[4];
    onAir("Time").GetAttributeValues(kTimeNames, time, 4);
    // "%s/%s/%s %.2d:%.2d:%.2d:%.2d": the date texts exactly as written,
    // month first, then the integer time fields.
    e.startText = date[0];
    e.startText += '/';
    e.startText += date[1];
    e.startText += '/';
    e.startText += date[2];
    e.startText += ' ';
    for (int i = 0; i < 4; ++i) {
        if (i > 0) e.startText += ':';
        AppendTwoDigits(e.startText, TextToInt(time[i]));
    }
    e.duration = ReadTimecode(onAir("Duration"));

    const char* trigger[2];
    event("QuorTrigger").GetAttributeValues(kTriggerNames, trigger, 2);
    e.triggerActive = IsTrue(trigger[0]);
    e.triggerSent = IsTrue(trigger[1]);
    return e;
}

String ReadPlaylistName(const CElementNode& root) { return root["name"].GetValue(); }

CElementNode FirstPlaylistEvent(const CElementNode& root) { return root.GetFirstChild().GetNextSibling(); }
