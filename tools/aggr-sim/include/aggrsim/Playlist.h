#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace aggrsim {

/// Simulated time is counted in frames. The viewer carries frames without a
/// rate; the simulator needs one to add durations, and takes 25 per second.
constexpr int kFramesPerSecond = 25;
/// Frames since 1970-01-01 00:00:00, frame 0 (proleptic Gregorian calendar).
using Frames = int64_t;

/// A calendar moment down to the frame.
struct Moment {
    int64_t year = 1970;
    int month = 1;
    int day = 1;
    int hh = 0;
    int mm = 0;
    int ss = 0;
    int ff = 0;
};

/// The frame count of a moment. Fields out of their range carry over (month
/// 13 is January of the next year, minute 75 is 1 h 15 min).
Frames toFrames(const Moment& m);
/// The moment of a frame count.
Moment toMoment(Frames frames);
/// "YYYY-MM-DDTHH:MM:SS" of a frame count (frames dropped).
std::string formatClock(Frames frames);
/// An attribute text as an integer: optional sign and decimal digits, 0 when
/// there are none, clamped to int.
int toInt(const char* text);

/// One of the three trigger commands a viewer sends.
struct Command {
    enum class Kind { kNoQuorTrigger, kEnableQuorTrigger, kChangeQuorServer };
    Kind kind = Kind::kNoQuorTrigger;
    std::string playlist;    // the playlist's root "name"
    std::string eventId;     // the event's "id"
    std::string quorServer;  // ChangeQuorServer only
};

/// The element name of a command kind ("NoQuorTrigger", ...).
const char* commandName(Command::Kind kind);

/// Parses one command payload: a single XML element named after the command
/// with the attributes "playlist", "eventid" and, for ChangeQuorServer,
/// "quorServer" (values unescaped by the parser). False with `reason` set to
/// "malformed" (not one well-formed element), "unknown-command" or
/// "missing-attribute".
bool parseCommand(std::string_view payload, Command& out, std::string& reason);

/// One playlist document and its simulated playout.
///
/// The document is read by position as the viewer reads it: the root's first
/// element child is the clock (Date year/month/day, Time hh/mm/ss), every
/// later element child is an event (attributes id, name, status, quorServer;
/// Segment/OnAir/Date month/day/year, Time and Duration hh/mm/ss/ff;
/// QuorTrigger active/sent). Everything else in the document is kept as it is.
///
/// Playout: the first event whose status is "Running" is the running event.
/// It ends at its on-air start plus its duration (a duration below one second
/// counts as one second, so nothing can spin). When it ends it becomes
/// "Played" and the next event becomes "Running" with its on-air start set to
/// that moment, and a trigger with active "true" becomes sent "true". After
/// the last event the playlist starts over: every event becomes "Cued" with
/// its trigger not sent, and the first event runs. Each change sets the clock
/// element to the simulated time of the change.
///
/// Not thread-safe: one thread at a time (the simulator's reactor thread).
class Playlist {
public:
    /// Parses the document. False, with the parser's description in `error`,
    /// when it is not well-formed XML with a root element.
    bool load(std::string_view xml, std::string& error);

    /// The root's "name" attribute.
    std::string name() const;
    /// The clock element's time in frames, or `fallback` when the playlist
    /// has no clock element.
    Frames clock(Frames fallback = 0) const;
    /// The "id" of the running event, or "" when none runs.
    std::string runningId() const;
    /// Number of event elements.
    size_t eventCount() const;
    /// When the running event ends, in frames; false when none runs.
    bool runningEnd(Frames& end) const;

    /// Ends every running event that is due at or before `now`, one after the
    /// other, each next one starting when its predecessor ended. After more
    /// than eventCount() transitions in one call the running event starts at
    /// `now` (a long way behind, it does not replay every round). The number
    /// of transitions made.
    int catchUp(Frames now);
    /// Ends the running event at `now` and starts the next. With no running
    /// event, `startIfIdle` starts the first event. True when something changed.
    bool advance(Frames now, bool startIfIdle);
    /// Applies a command to the event with the command's id: active "false",
    /// active "true" (a missing QuorTrigger element is added), or the event's
    /// quorServer changed; the clock moves to `now`. False when no event has
    /// that id.
    bool apply(const Command& command, Frames now);

    /// The document as served over HTTP (with an XML declaration).
    std::string xml() const;

private:
    std::vector<pugi::xml_node> events() const;
    pugi::xml_node clockElement() const;
    // Index of the running event in `list`, or -1.
    static int runningIndex(const std::vector<pugi::xml_node>& list);
    // `list[index]` starts at `start`; what runs before it becomes Played,
    // or, for a fresh round, every event is reset.
    void start(const std::vector<pugi::xml_node>& list, size_t index, Frames start);
    void setClock(Frames now);

    pugi::xml_document doc_;
};

}  // namespace aggrsim
