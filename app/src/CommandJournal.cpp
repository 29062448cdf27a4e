#include "app/CommandJournal.h"

#include <algorithm>

#include "external/XMLDoc.h"
#include "model/PlaylistEvent.h"

QString CommandKindName(CommandKind kind) {
    switch (kind) {
        case CommandKind::TriggerOff: return QStringLiteral("off");
        case CommandKind::TriggerOn: return QStringLiteral("on");
        case CommandKind::ServerChange: return QStringLiteral("change");
    }
    return QString();
}

QString CommandKindTitle(CommandKind kind) {
    switch (kind) {
        case CommandKind::TriggerOff: return QStringLiteral("trigger off");
        case CommandKind::TriggerOn: return QStringLiteral("trigger on");
        case CommandKind::ServerChange: return QStringLiteral("server change");
    }
    return QString();
}

QString RoundTripText(const CommandRecord& record) {
    if (record.roundTripMs < 0) return QString();
    if (record.roundTripMs < 1000) return QStringLiteral("%1 ms").arg(record.roundTripMs);
    return QStringLiteral("%1 s").arg(static_cast<double>(record.roundTripMs) / 1000.0, 0, 'f', 1);
}

QString CommandStateText(const CommandRecord& record) {
    const QString reason = QString::fromUtf8(record.reason.GetString());
    switch (record.state) {
        case CommandState::Sending: return QStringLiteral("sending");
        case CommandState::NotSent: return QStringLiteral("not sent: ") + reason;
        case CommandState::SendFailed: return QStringLiteral("send failed: ") + reason;
        case CommandState::Sent: return QStringLiteral("sent");
        case CommandState::Applied: return QStringLiteral("applied");
        case CommandState::NotApplied: return QStringLiteral("not applied");
    }
    return QString();
}

bool CommandEffectShown(const CElementNode& root, const CommandRecord& record) {
    for (CElementNode event = FirstPlaylistEvent(root); !event.IsNull(); event = event.GetNextSibling()) {
        const PlaylistEvent e = ReadPlaylistEvent(event);
        if (!(e.eventId == record.eventId)) continue;
        switch (record.kind) {
            case CommandKind::TriggerOff: return !e.triggerActive;
            case CommandKind::TriggerOn: return e.triggerActive;
            case CommandKind::ServerChange: return e.quorServer == record.newServer;
        }
    }
    // The event left the playlist: nothing shows the command took effect.
    return false;
}

int CCommandJournal::Add(CommandRecord record) {
    record.number = static_cast<int>(m_records.size()) + 1;
    record.given = QDateTime::currentDateTime();
    record.changed = record.given;
    record.state = CommandState::Sending;
    m_records.push_back(std::move(record));
    return m_records.back().number;
}

CommandRecord* CCommandJournal::Get(int number) {
    if (number < 1 || number > static_cast<int>(m_records.size())) return nullptr;
    return &m_records[static_cast<size_t>(number - 1)];
}

const CommandRecord* CCommandJournal::Find(int number) const {
    if (number < 1 || number > static_cast<int>(m_records.size())) return nullptr;
    return &m_records[static_cast<size_t>(number - 1)];
}

void CCommandJournal::SetState(CommandRecord& record, CommandState state) {
    record.state = state;
    record.changed = QDateTime::currentDateTime();
    if (m_onChanged) m_onChanged(record);
}

void CCommandJournal::NotSent(int number, const String& reason) {
    CommandRecord* record = Get(number);
    if (record == nullptr || record->state != CommandState::Sending) return;
    record->reason = reason;
    SetState(*record, CommandState::NotSent);
}

void CCommandJournal::Posted(int number, long ticket) {
    if (CommandRecord* record = Get(number)) {
        record->ticket = ticket;
        record->sentAt = Clock::now();
    }
}

void CCommandJournal::SendDone(long ticket, int code, const String& reason) {
    for (CommandRecord& record : m_records) {
        if (record.ticket != ticket || record.state != CommandState::Sending) continue;
        record.ticket = 0;
        if (code >= 0) {
            SetState(record, CommandState::Sent);
        } else {
            record.reason = reason;
            SetState(record, CommandState::SendFailed);
        }
        return;
    }
}

void CCommandJournal::PlaylistFetched(const String& url, const CElementNode& root, Clock::time_point started) {
    const Clock::time_point now = Clock::now();
    for (CommandRecord& record : m_records) {
        // A command still being posted counts too: its fetch started after
        // the post, and the server may apply it before the reactor reports.
        if (record.state != CommandState::Sent && record.state != CommandState::Sending) continue;
        if (record.sentAt == Clock::time_point{} || !(record.url == url) || started < record.sentAt) continue;
        if (CommandEffectShown(root, record)) {
            record.roundTripMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - record.sentAt).count();
            record.ticket = 0;
            SetState(record, CommandState::Applied);
        } else if (record.state == CommandState::Sent && ++record.fetchesSeen >= kFetchesBeforeGivingUp) {
            SetState(record, CommandState::NotApplied);
        }
    }
}

void CCommandJournal::Expire(Clock::time_point now) {
    for (CommandRecord& record : m_records) {
        if (record.state == CommandState::Sent && now - record.sentAt >= kApplyWait)
            SetState(record, CommandState::NotApplied);
    }
}

bool CCommandJournal::HasPending() const {
    return std::any_of(m_records.begin(), m_records.end(), [](const CommandRecord& r) {
        return r.state == CommandState::Sent || r.state == CommandState::Sending;
    });
}
