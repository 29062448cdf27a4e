// CCommandJournal: every trigger command the operator gave in this run and
// what became of it.
//
//   given --no link--------------------------------> not sent: not connected
//     |
//     posted --reactor could not send--------------> send failed: REASON
//     |
//     sent --a later fetch of that playlist shows it--> applied
//       |
//       +--three such fetches, or 30 s, without it---> not applied
//
// Only fetches that started after the send count: one already under way
// may carry the playlist from before the command. "Shows it" means: off,
// the event's trigger is no longer active; on, it is active; change, the
// event's server equals the new text.
//
// GUI thread only.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include <QDateTime>
#include <QString>

#include "external/String.h"

class CElementNode;

enum class CommandKind { TriggerOff, TriggerOn, ServerChange };

enum class CommandState { Sending, NotSent, SendFailed, Sent, Applied, NotApplied };

struct CommandRecord {
    using Clock = std::chrono::steady_clock;

    int number = 0;   // 1, 2, ... in the order given
    QDateTime given;  // local time the operator gave it
    Clock::time_point sentAt{};
    CommandKind kind = CommandKind::TriggerOff;
    String studio;    // the studio's name
    String playlist;  // the playlist's name (its root "name")
    String url;       // the playlist document's URL
    String eventId;
    String title;      // the event's title when the command was given
    String newServer;  // ServerChange only
    CommandState state = CommandState::Sending;
    String reason;            // why not sent / why the send failed
    int fetchesSeen = 0;      // fetches after the send that did not show it
    qint64 roundTripMs = -1;  // send to "applied"
    QDateTime changed;        // when the state last changed
    long ticket = 0;          // the send's ticket while it is posted
};

// "off", "on", "change".
QString CommandKindName(CommandKind kind);
// "sending", "not sent: not connected", "send failed: REASON", "sent",
// "applied", "not applied".
QString CommandStateText(const CommandRecord& record);
// "trigger off", "trigger on", "server change": the command in a sentence.
QString CommandKindTitle(CommandKind kind);
// The time from send to "applied": "85 ms", "2.4 s"; "" when not applied.
QString RoundTripText(const CommandRecord& record);
// True when the playlist under root shows the command's effect.
bool CommandEffectShown(const CElementNode& root, const CommandRecord& record);

class CCommandJournal {
public:
    using Clock = CommandRecord::Clock;

    static constexpr int kFetchesBeforeGivingUp = 3;
    static constexpr std::chrono::seconds kApplyWait{30};

    // A record for a command the operator just gave; number, given time and
    // state are set here. Returns its number.
    int Add(CommandRecord record);
    // The send was not made: no link.
    void NotSent(int number, const String& reason);
    // The send was posted under ticket; its outcome comes through SendDone.
    void Posted(int number, long ticket);
    // The reactor's outcome of the send with that ticket: code >= 0 sent.
    void SendDone(long ticket, int code, const String& reason);
    // A fetch of the playlist at url ended well; started is when it began.
    void PlaylistFetched(const String& url, const CElementNode& root, Clock::time_point started);
    // Gives up on commands sent more than kApplyWait ago. Call about once a
    // second while HasPending().
    void Expire(Clock::time_point now);
    bool HasPending() const;

    const std::vector<CommandRecord>& Records() const { return m_records; }
    const CommandRecord* Find(int number) const;

    // Called after every change of a record's state, with the record.
    std::function<void(const CommandRecord&)> m_onChanged;

private:
    CommandRecord* Get(int number);
    void SetState(CommandRecord& record, CommandState state);

    std::vector<CommandRecord> m_records;
};
