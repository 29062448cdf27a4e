// One playlist event as shown in one list row, and the reading of a playlist
// tree into the clock reference and events.
//
// Playlist shape (tag names of the root, the clock and the events are never
// looked at; every value is an attribute):
//
//   <root name="...">                          playlist name
//     <clock> <Date year month day/> <Time hh mm ss/> </clock>
//     <event id name status quorServer>        every later child is an event
//       <Segment id>
//         <OnAir> <Date month day year/> <Time hh mm ss ff/> <Duration hh mm ss ff/> </OnAir>
//       </Segment>
//       <QuorTrigger active sent/>
//     </event>
//     ...
//   </root>
//
// Reading never fails and never skips an event: an absent element or
// attribute reads as the empty text, which converts to 0.
#pragma once

#include <optional>

#include "external/String.h"
#include "external/XMLDoc.h"
#include "framework/CTime.h"
#include "model/Timecode.h"

// The list columns, in display order.
enum PlaylistColumn {
    kColumnImage = 0,
    kColumnSegment = 1,
    kColumnId = 2,
    kColumnTitle = 3,
    kColumnStatus = 4,
    kColumnStartTime = 5,
    kColumnDuration = 6,
    kColumnQuorServer = 7,
    kPlaylistColumnCount = 8
};

// Column headings: "", "Segment", "Id", "Title", "Status", "StartTime",
// "Duration", "QuorServer"; "" for an index out of range.
const char* PlaylistColumnHeading(int column);

// Row images, indices into the list's image list.
enum PlaylistImage {
    kImageBlank = 0,          // segment "-1": no operator command on this row
    kImageTriggerSent = 1,    // black arrow pointing right
    kImageTriggerActive = 2,  // green disc
    kImageTriggerIdle = 3     // red disc
};

struct PlaylistEvent {
    String segmentId;  // "-1" marks a row with no operator command
    String eventId;
    String title;
    String status;     // only "Running" means anything to the display
    String startText;  // "month/day/year hh:mm:ss:ff", date texts as written
    Timecode duration;
    String quorServer;
    bool triggerActive = false;
    bool triggerSent = false;

    // By precedence: segment "-1" (blank), sent (arrow), active (green disc),
    // otherwise the red disc.
    int ImageIndex() const;
    // Texts of columns 1 to 7 (column 6 is the formatted duration); the empty
    // text for column 0 and any other index.
    String ColumnText(int column) const;
    // status is exactly "Running".
    bool IsRunning() const;
};

// The clock reference of a playlist root: the first child element's Date and
// Time, as local time with daylight saving left to the library. A present
// clock element is used whatever it holds (absent values read as 0). Empty
// when the root is null or has no child element (the caller then leaves the
// clock as it was), or when the fields cannot be represented as a time.
std::optional<CTime> ReadPlaylistClock(const CElementNode& root);

// One event element.
PlaylistEvent ReadPlaylistEvent(const CElementNode& event);

// The root's "name": the playlist name sent with every operator command.
String ReadPlaylistName(const CElementNode& root);

// The first event element (the clock element's next sibling); walk on with
// GetNextSibling() until IsNull().
CElementNode FirstPlaylistEvent(const CElementNode& root);
