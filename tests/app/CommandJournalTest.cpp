// The command journal: what makes a command sent, applied or not applied,
// judged against real playlist trees read from text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PlaylistSupport.h"
#include "app/CommandJournal.h"
#include "external/XMLDoc.h"

using apptest::EventSpec;
using apptest::PlaylistXml;

namespace {

using Clock = CCommandJournal::Clock;

// A parsed playlist; the document keeps the tree alive for the root.
struct Tree {
    explicit Tree(const std::string& text) : text_(text.c_str()) {
        CMemXMLSrc source;
        source.SetMemPtr(text_);
        EXPECT_TRUE(doc.Parse(source));
        root = doc.GetRootElement();
    }
    String text_;
    CXMLDoc doc;
    CElementNode root;
};

Tree Playlist(bool active, const std::string& server = "10.0.0.1") {
    std::string xml = PlaylistXml({{"EV1", "10", "Cued", active}, {"EV2"}});
    if (server != "10.0.0.1") xml.replace(xml.find("10.0.0.1"), 8, server);
    return Tree(xml);
}

CommandRecord Command(CommandKind kind, const char* server = "") {
    CommandRecord r;
    r.kind = kind;
    r.url = "http://127.0.0.1/main.xml";
    r.playlist = "Main";
    r.eventId = "EV1";
    r.newServer = server;
    return r;
}

struct Fixture {
    CCommandJournal journal;
    std::vector<std::string> changes;  // "number:state" in order
    Fixture() {
        journal.m_onChanged = [this](const CommandRecord& r) {
            changes.push_back(std::to_string(r.number) + ":" + CommandStateText(r).toStdString());
        };
    }
    // Adds, posts and confirms the send of a command.
    int Sent(CommandRecord record, long ticket) {
        const int n = journal.Add(std::move(record));
        journal.Posted(n, ticket);
        journal.SendDone(ticket, 0, String());
        return n;
    }
};

}  // namespace

TEST(CommandJournal, TheEffectIsReadFromTheEventsTriggerOrServer) {
    const Tree on = Playlist(true);
    const Tree off = Playlist(false);
    EXPECT_TRUE(CommandEffectShown(off.root, Command(CommandKind::TriggerOff)));
    EXPECT_FALSE(CommandEffectShown(on.root, Command(CommandKind::TriggerOff)));
    EXPECT_TRUE(CommandEffectShown(on.root, Command(CommandKind::TriggerOn)));
    EXPECT_FALSE(CommandEffectShown(off.root, Command(CommandKind::TriggerOn)));
    const Tree moved = Playlist(true, "10.9.9.9");
    EXPECT_TRUE(CommandEffectShown(moved.root, Command(CommandKind::ServerChange, "10.9.9.9")));
    EXPECT_FALSE(CommandEffectShown(on.root, Command(CommandKind::ServerChange, "10.9.9.9")));
    // An event that is not in the playlist shows nothing, whatever the command.
    CommandRecord gone = Command(CommandKind::TriggerOff);
    gone.eventId = "EV404";
    EXPECT_FALSE(CommandEffectShown(off.root, gone));
    EXPECT_FALSE(CommandEffectShown(CElementNode(), Command(CommandKind::TriggerOff)));
}

TEST(CommandJournal, OnlyAFetchStartedAfterTheSendCanApplyIt) {
    Fixture f;
    const Clock::time_point before = Clock::now();
    const int n = f.Sent(Command(CommandKind::TriggerOff), 7);
    EXPECT_EQ(f.journal.Find(n)->state, CommandState::Sent);
    const Tree off = Playlist(false);
    // A fetch under way before the command carries the old playlist, even
    // when it happens to show the state asked for.
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", off.root, before);
    EXPECT_EQ(f.journal.Find(n)->state, CommandState::Sent);
    EXPECT_EQ(f.journal.Find(n)->fetchesSeen, 0);
    // Another playlist's fetch is no evidence either.
    f.journal.PlaylistFetched("http://127.0.0.1/backup.xml", off.root, Clock::now());
    EXPECT_EQ(f.journal.Find(n)->state, CommandState::Sent);
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", off.root, Clock::now());
    EXPECT_EQ(f.journal.Find(n)->state, CommandState::Applied);
    EXPECT_GE(f.journal.Find(n)->roundTripMs, 0);
    EXPECT_FALSE(f.journal.HasPending());
    EXPECT_EQ(f.changes, (std::vector<std::string>{"1:sent", "1:applied"}));
}

TEST(CommandJournal, ThreeFetchesWithoutTheEffectOrThirtySecondsGiveUp) {
    Fixture f;
    const int byFetches = f.Sent(Command(CommandKind::TriggerOff), 1);
    const int byTime = f.Sent(Command(CommandKind::TriggerOn), 2);
    const Tree on = Playlist(true);
    // The "on" command shows at once; the "off" one never does.
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", on.root, Clock::now());
    EXPECT_EQ(f.journal.Find(byTime)->state, CommandState::Applied);
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", on.root, Clock::now());
    EXPECT_EQ(f.journal.Find(byFetches)->state, CommandState::Sent);
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", on.root, Clock::now());
    EXPECT_EQ(f.journal.Find(byFetches)->state, CommandState::NotApplied);
    EXPECT_EQ(f.journal.Find(byFetches)->fetchesSeen, 3);
    // A later fetch that shows it does not bring a given-up command back.
    const Tree off = Playlist(false);
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", off.root, Clock::now());
    EXPECT_EQ(f.journal.Find(byFetches)->state, CommandState::NotApplied);

    const int waiting = f.Sent(Command(CommandKind::ServerChange, "10.2.2.2"), 3);
    const Clock::time_point sentAt = f.journal.Find(waiting)->sentAt;
    f.journal.Expire(sentAt + std::chrono::seconds(29));
    EXPECT_EQ(f.journal.Find(waiting)->state, CommandState::Sent);
    f.journal.Expire(sentAt + std::chrono::seconds(30));
    EXPECT_EQ(f.journal.Find(waiting)->state, CommandState::NotApplied);
    EXPECT_EQ(f.changes.back(), "3:not applied");
}

TEST(CommandJournal, SendsThatNeverWentOutSayWhyAndAreNeverApplied) {
    Fixture f;
    const int refused = f.journal.Add(Command(CommandKind::TriggerOff));
    f.journal.NotSent(refused, "not connected");
    EXPECT_EQ(CommandStateText(*f.journal.Find(refused)).toStdString(), "not sent: not connected");

    const int failed = f.journal.Add(Command(CommandKind::TriggerOff));
    f.journal.Posted(failed, 11);
    EXPECT_EQ(f.journal.Find(failed)->state, CommandState::Sending);
    // An outcome for another ticket changes nothing.
    f.journal.SendDone(12, -10054, "connection reset");
    EXPECT_EQ(f.journal.Find(failed)->state, CommandState::Sending);
    f.journal.SendDone(11, -10054, "connection reset");
    EXPECT_EQ(CommandStateText(*f.journal.Find(failed)).toStdString(), "send failed: connection reset");
    // The same outcome twice is taken once.
    f.journal.SendDone(11, 0, String());
    EXPECT_EQ(f.journal.Find(failed)->state, CommandState::SendFailed);

    const Tree off = Playlist(false);
    f.journal.PlaylistFetched("http://127.0.0.1/main.xml", off.root, Clock::now());
    f.journal.Expire(Clock::now() + std::chrono::minutes(5));
    EXPECT_EQ(f.journal.Find(refused)->state, CommandState::NotSent);
    EXPECT_EQ(f.journal.Find(failed)->state, CommandState::SendFailed);
    EXPECT_EQ(f.changes, (std::vector<std::string>{"1:not sent: not connected", "2:send failed: connection reset"}));
    EXPECT_EQ(f.journal.Find(3), nullptr);
    EXPECT_EQ(f.journal.Find(0), nullptr);
}
