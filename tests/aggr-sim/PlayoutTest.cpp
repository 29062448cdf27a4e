// The simulator's playout, commands, studio list, options and log text, in
// process and without a network.

#include "aggrsim/Log.h"
#include "aggrsim/Options.h"
#include "aggrsim/Playlist.h"
#include "aggrsim/StudioList.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace aggrsim;

namespace {

std::string sample(const std::string& name) {
    std::ifstream in(std::string(TALLYSCOPE_SOURCE_DIR) + "/samples/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Frames at(int64_t y, int mo, int d, int hh, int mm, int ss, int ff = 0) {
    Moment m;
    m.year = y;
    m.month = mo;
    m.day = d;
    m.hh = hh;
    m.mm = mm;
    m.ss = ss;
    m.ff = ff;
    return toFrames(m);
}

Playlist loaded(const std::string& xml) {
    Playlist p;
    std::string error;
    EXPECT_TRUE(p.load(xml, error)) << error;
    return p;
}

// The served document, parsed again, as a client sees it.
struct Served {
    explicit Served(const Playlist& p) { EXPECT_TRUE(doc.load_string(p.xml().c_str())) << p.xml(); }
    pugi::xml_node event(const char* id) { return doc.document_element().find_child_by_attribute("id", id); }
    std::string status(const char* id) { return event(id).attribute("status").value(); }
    std::string trigger(const char* id, const char* flag) {
        return event(id).child("QuorTrigger").attribute(flag).value();
    }
    std::string onAir(const char* id) {
        const pugi::xml_node o = event(id).child("Segment").child("OnAir");
        const pugi::xml_node d = o.child("Date");
        const pugi::xml_node t = o.child("Time");
        return std::string(d.attribute("month").value()) + "/" + d.attribute("day").value() + "/" +
               d.attribute("year").value() + " " + t.attribute("hh").value() + ":" + t.attribute("mm").value() + ":" +
               t.attribute("ss").value() + ":" + t.attribute("ff").value();
    }
    std::string clock() {
        const pugi::xml_node c = doc.document_element().first_child();
        const pugi::xml_node d = c.child("Date");
        const pugi::xml_node t = c.child("Time");
        return std::string(d.attribute("year").value()) + "-" + d.attribute("month").value() + "-" +
               d.attribute("day").value() + " " + t.attribute("hh").value() + ":" + t.attribute("mm").value() + ":" +
               t.attribute("ss").value();
    }
    pugi::xml_document doc;
};

// Three events of 10 s, 20 s and 0 s; the first runs from 12:00:00.
const char* kThree = R"(<Playlist name="Three">
  <Clock><Date year="2020" month="2" day="28"/><Time hh="12" mm="0" ss="5"/></Clock>
  <Event id="A" status="Running" quorServer="s1">
    <Segment id="1"><OnAir><Date month="2" day="28" year="2020"/><Time hh="12" mm="0" ss="0" ff="0"/>
      <Duration hh="0" mm="0" ss="10" ff="0"/></OnAir></Segment>
    <QuorTrigger active="true" sent="true"/>
  </Event>
  <Event id="B" status="Cued" quorServer="s2">
    <Segment id="2"><OnAir><Date month="2" day="28" year="2020"/><Time hh="12" mm="0" ss="10" ff="0"/>
      <Duration hh="0" mm="0" ss="20" ff="5"/></OnAir></Segment>
    <QuorTrigger active="true" sent="false"/>
  </Event>
  <Event id="C" status="Cued" quorServer="s3">
    <Segment id="-1"><OnAir><Date month="2" day="28" year="2020"/><Time hh="12" mm="0" ss="30" ff="5"/>
      <Duration hh="0" mm="0" ss="0" ff="0"/></OnAir></Segment>
    <QuorTrigger active="false" sent="false"/>
  </Event>
</Playlist>)";

}  // namespace

// ---- time ----

TEST(PlayoutTime, CalendarArithmeticCarriesOverDaysMonthsYearsAndLeapDays) {
    EXPECT_EQ(0, at(1970, 1, 1, 0, 0, 0));
    EXPECT_EQ("2003-01-01T00:00:00", formatClock(at(2002, 12, 31, 23, 59, 0) + 60 * kFramesPerSecond));
    EXPECT_EQ("2004-02-29T00:00:00", formatClock(at(2004, 2, 28, 0, 0, 0) + 86400 * kFramesPerSecond));
    EXPECT_EQ("2100-03-01T00:00:00", formatClock(at(2100, 2, 28, 0, 0, 0) + 86400 * kFramesPerSecond));
    EXPECT_EQ("1969-12-31T23:59:59", formatClock(-1));
    // Fields out of range carry over.
    EXPECT_EQ(at(2003, 1, 15, 1, 15, 0), at(2002, 13, 15, 0, 75, 0));
    for (const Frames f : {at(2002, 8, 30, 17, 57, 55, 12), at(1601, 1, 1, 0, 0, 0), at(2400, 2, 29, 23, 59, 59, 24)}) {
        const Moment m = toMoment(f);
        EXPECT_EQ(f, toFrames(m));
        EXPECT_GE(m.ff, 0);
        EXPECT_LT(m.ff, kFramesPerSecond);
    }
}

TEST(PlayoutTime, AttributeNumbersReadLikeToInt) {
    EXPECT_EQ(8, toInt("08"));
    EXPECT_EQ(-5, toInt("-5x"));
    EXPECT_EQ(0, toInt("x5"));
    EXPECT_EQ(0, toInt(""));
    EXPECT_EQ(2147483647, toInt("99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, toInt("-99999999999999999999"));
}

// ---- playout ----

TEST(Playout, RunningEventEndsAtOnAirPlusDurationAndTheNextStartsThen) {
    Playlist p = loaded(sample("playlists/studio-a-main.xml"));
    EXPECT_EQ("StudioA-Main", p.name());
    EXPECT_EQ("EV000104", p.runningId());
    EXPECT_EQ(at(2002, 8, 30, 17, 58, 40), p.clock());
    Frames end = 0;
    ASSERT_TRUE(p.runningEnd(end));
    EXPECT_EQ(at(2002, 8, 30, 18, 1, 55, 12), end);

    EXPECT_EQ(0, p.catchUp(end - 1));
    EXPECT_EQ("EV000104", p.runningId());
    EXPECT_EQ(1, p.catchUp(end + 3));
    Served s(p);
    EXPECT_EQ("Played", s.status("EV000104"));
    EXPECT_EQ("Running", s.status("EV000105"));
    EXPECT_EQ("8/30/2002 18:1:55:12", s.onAir("EV000105"));
    EXPECT_EQ("true", s.trigger("EV000105", "sent")) << "an active trigger is sent when its event starts";
    EXPECT_EQ("Cued", s.status("EV000106"));
    EXPECT_EQ("2002-8-30 18:1:55", s.clock()) << "the clock moves to the time of the change";
    // Untouched parts stay as loaded.
    EXPECT_EQ("Weather & Traffic", std::string(s.event("EV000104").attribute("name").value()));
    EXPECT_EQ("8/30/2002 23:59:59:24", s.onAir("EV000108"));
}

TEST(Playout, CatchingUpChainsEachStartToThePreviousEndAndInactiveTriggersStayUnsent) {
    Playlist p = loaded(kThree);
    // A ends 12:00:10, B (20 s 5 f) ends 12:00:30:05, C (0 s, counts as 1 s) ends 12:00:31:05.
    EXPECT_EQ(2, p.catchUp(at(2020, 2, 28, 12, 0, 31, 0)));
    Served s(p);
    EXPECT_EQ("Played", s.status("A"));
    EXPECT_EQ("Played", s.status("B"));
    EXPECT_EQ("Running", s.status("C"));
    EXPECT_EQ("2/28/2020 12:0:10:0", s.onAir("B"));
    EXPECT_EQ("2/28/2020 12:0:30:5", s.onAir("C"));
    EXPECT_EQ("true", s.trigger("B", "sent"));
    EXPECT_EQ("false", s.trigger("C", "sent"));
    Frames end = 0;
    ASSERT_TRUE(p.runningEnd(end));
    EXPECT_EQ(at(2020, 2, 28, 12, 0, 31, 5), end) << "a zero duration plays for one second";
}

TEST(Playout, AfterTheLastEventThePlaylistStartsOverWithTriggersUnsent) {
    Playlist p = loaded(kThree);
    ASSERT_EQ(3, p.catchUp(at(2020, 2, 28, 12, 0, 31, 5)));
    Served s(p);
    EXPECT_EQ("Running", s.status("A"));
    EXPECT_EQ("Cued", s.status("B"));
    EXPECT_EQ("Cued", s.status("C"));
    EXPECT_EQ("2/28/2020 12:0:31:5", s.onAir("A"));
    EXPECT_EQ("true", s.trigger("A", "sent")) << "sent again with the new round";
    EXPECT_EQ("false", s.trigger("B", "sent"));

    // A single event repeats itself: the shadow sample crosses the year.
    Playlist shadow = loaded(sample("playlists/studio-a-shadow.xml"));
    ASSERT_EQ(1, shadow.catchUp(at(2003, 1, 1, 0, 0, 0)));
    Served t(shadow);
    EXPECT_EQ("Running", t.status("EV009901"));
    EXPECT_EQ("1/1/2003 0:0:0:0", t.onAir("EV009901"));
    EXPECT_EQ("2003-1-1 0:0:0", t.clock());
}

TEST(Playout, FarBehindTheRunningEventRestartsNowInsteadOfReplayingEveryRound) {
    Playlist p = loaded(kThree);
    const Frames now = at(2030, 1, 1, 0, 0, 0);
    const int transitions = p.catchUp(now);
    EXPECT_GE(transitions, 1);
    EXPECT_LE(transitions, 4) << "bounded by the number of events";
    Frames end = 0;
    ASSERT_TRUE(p.runningEnd(end));
    EXPECT_GT(end, now);
    EXPECT_LE(end, now + 21 * kFramesPerSecond);
    EXPECT_EQ(0, p.catchUp(now)) << "caught up";
}

TEST(Playout, AdvanceEndsTheRunningEventNowAndStartsAnIdlePlaylistOnlyWhenAsked) {
    Playlist main = loaded(sample("playlists/studio-a-main.xml"));
    const Frames now = at(2002, 8, 30, 17, 58, 40);
    ASSERT_TRUE(main.advance(now, false));
    Served s(main);
    EXPECT_EQ("Played", s.status("EV000104"));
    EXPECT_EQ("Running", s.status("EV000105"));
    EXPECT_EQ("8/30/2002 17:58:40:0", s.onAir("EV000105"));

    Playlist backup = loaded(sample("playlists/studio-a-backup.xml"));
    EXPECT_EQ("", backup.runningId());
    Frames end = 0;
    EXPECT_FALSE(backup.runningEnd(end));
    EXPECT_EQ(0, backup.catchUp(at(2030, 1, 1, 0, 0, 0))) << "nothing runs, nothing moves";
    EXPECT_FALSE(backup.advance(now, false));
    EXPECT_EQ("", backup.runningId());
    ASSERT_TRUE(backup.advance(now, true));
    EXPECT_EQ("EV000901", backup.runningId());
    EXPECT_EQ("Standby", Served(backup).status("EV000902"));

    Playlist empty = loaded(R"(<Playlist name="E"><Clock/></Playlist>)");
    EXPECT_FALSE(empty.advance(now, true));
    EXPECT_EQ(0u, empty.eventCount());
}

// ---- commands ----

TEST(Commands, EachCommandIsParsedWithItsValuesUnescaped) {
    Command c;
    std::string why;
    ASSERT_TRUE(parseCommand(R"(<NoQuorTrigger playlist="StudioA-Main" eventid="EV000104"/>)", c, why)) << why;
    EXPECT_EQ(Command::Kind::kNoQuorTrigger, c.kind);
    EXPECT_EQ("StudioA-Main", c.playlist);
    EXPECT_EQ("EV000104", c.eventId);
    ASSERT_TRUE(parseCommand(R"(<EnableQuorTrigger playlist="A &amp; B" eventid="&lt;1&gt;"/>)", c, why)) << why;
    EXPECT_EQ(Command::Kind::kEnableQuorTrigger, c.kind);
    EXPECT_EQ("A & B", c.playlist);
    EXPECT_EQ("<1>", c.eventId);
    ASSERT_TRUE(parseCommand(
        R"(<ChangeQuorServer playlist="P" eventid="E" quorServer="10.0.0.1 &quot;x&quot; &apos;y&apos;"/>)", c, why));
    EXPECT_EQ(Command::Kind::kChangeQuorServer, c.kind);
    EXPECT_EQ("10.0.0.1 \"x\" 'y'", c.quorServer);
    ASSERT_TRUE(parseCommand(R"(<ChangeQuorServer playlist="P" eventid="E" quorServer=""/>)", c, why));
    EXPECT_EQ("", c.quorServer) << "an empty server is a value";
}

TEST(Commands, MalformedUnknownAndIncompleteCommandsAreRefusedWithAReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"(<NoQuorTrigger playlist="P" eventid="E")", "malformed"},
        {R"(<NoQuorTrigger playlist="P" eventid="E"/><NoQuorTrigger playlist="P" eventid="E"/>)", "malformed"},
        {R"(<NoQuorTrigger playlist="P" eventid="E"/>trailing)", "malformed"},
        {R"(<NoQuorTrigger playlist="P" eventid="E"/)", "malformed"},
        {R"(<NoQuorTrigger playlist="P" eventid=E/>)", "malformed"},
        {"", "malformed"},
        {"  ", "malformed"},
        {"text", "malformed"},
        {R"(<Reboot playlist="P" eventid="E"/>)", "unknown-command"},
        {R"(<noquortrigger playlist="P" eventid="E"/>)", "unknown-command"},
        {R"(<NoQuorTrigger eventid="E"/>)", "missing-attribute"},
        {R"(<EnableQuorTrigger playlist="P"/>)", "missing-attribute"},
        {R"(<ChangeQuorServer playlist="P" eventid="E"/>)", "missing-attribute"},
    };
    for (const auto& [payload, reason] : cases) {
        Command c;
        std::string why;
        EXPECT_FALSE(parseCommand(payload, c, why)) << payload;
        EXPECT_EQ(reason, why) << payload;
    }
}

TEST(Commands, AppliedToTheNamedEventAndServedEscaped) {
    Playlist p = loaded(sample("playlists/studio-a-main.xml"));
    const Frames now = at(2002, 8, 30, 18, 0, 0);
    Command c;
    c.eventId = "EV000105";
    c.kind = Command::Kind::kNoQuorTrigger;
    ASSERT_TRUE(p.apply(c, now));
    EXPECT_EQ("false", Served(p).trigger("EV000105", "active"));
    EXPECT_EQ("2002-8-30 18:0:0", Served(p).clock());
    c.kind = Command::Kind::kEnableQuorTrigger;
    ASSERT_TRUE(p.apply(c, now));
    EXPECT_EQ("true", Served(p).trigger("EV000105", "active"));
    EXPECT_EQ("false", Served(p).trigger("EV000105", "sent")) << "enabling does not send";
    c.kind = Command::Kind::kChangeQuorServer;
    c.quorServer = "10.1.1.1 & <\"x\">";
    ASSERT_TRUE(p.apply(c, now));
    EXPECT_NE(std::string::npos, p.xml().find("quorServer=\"10.1.1.1 &amp; &lt;&quot;x&quot;>\""));
    EXPECT_EQ(c.quorServer, std::string(Served(p).event("EV000105").attribute("quorServer").value()));
    c.eventId = "EV999999";
    EXPECT_FALSE(p.apply(c, now));

    // An event without a trigger element gets one.
    Playlist bare = loaded(R"(<P name="B"><Clock/><Event id="X" status="Cued"/></P>)");
    c.eventId = "X";
    c.kind = Command::Kind::kEnableQuorTrigger;
    ASSERT_TRUE(bare.apply(c, 0));
    EXPECT_EQ("true", Served(bare).trigger("X", "active"));
    EXPECT_EQ("false", Served(bare).trigger("X", "sent"));
}

TEST(Commands, ADocumentThatIsNotXmlIsRefused) {
    Playlist p;
    std::string why;
    EXPECT_FALSE(p.load("<Playlist name=\"x\">", why));
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(p.load("", why));
}

// ---- studio list ----

TEST(StudioListTest, UrlsPointAtTheSimulatorAndTheRestIsKept) {
    StudioList list;
    std::string why;
    ASSERT_TRUE(list.load(sample("studios.xml"), why)) << why;
    ASSERT_EQ(3u, list.studios().size());
    EXPECT_EQ("STA-01", list.studios()[0].id);
    EXPECT_EQ((std::vector<std::string>{"studio-a-main.xml", "studio-a-backup.xml"}), list.studios()[0].playlistFiles);
    EXPECT_TRUE(list.studios()[1].playlistFiles.empty());
    EXPECT_TRUE(list.hasStudio("STA-99"));
    EXPECT_FALSE(list.hasStudio("sta-99"));
    EXPECT_FALSE(list.hasStudio(""));

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(list.render("http://127.0.0.1:4321").c_str()));
    std::vector<std::string> urls;
    for (pugi::xml_node s : doc.document_element().children())
        for (pugi::xml_node p : s.children()) urls.push_back(p.attribute("url").value());
    EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:4321/playlists/studio-a-main.xml",
                                        "http://127.0.0.1:4321/playlists/studio-a-backup.xml",
                                        "http://127.0.0.1:4321/playlists/studio-a-shadow.xml"}),
              urls);
    const pugi::xml_node second = doc.document_element().first_child().next_sibling();
    EXPECT_STREQ("Studio B", second.attribute("name").value());
    EXPECT_STREQ("STB-02", second.attribute("id").value());
}

TEST(StudioListTest, LastSegmentOfAUrl) {
    EXPECT_EQ("a.xml", StudioList::lastSegment("http://h:1/x/y/a.xml"));
    EXPECT_EQ("a.xml", StudioList::lastSegment("http://h/a.xml?v=1/2#f/g"));
    EXPECT_EQ("", StudioList::lastSegment("http://h/x/"));
    EXPECT_EQ("", StudioList::lastSegment("http://h"));
    EXPECT_EQ("b", StudioList::lastSegment("a/b"));
    EXPECT_EQ("plain", StudioList::lastSegment("plain"));
}

// ---- options and log text ----

TEST(OptionsTest, ValuesAreReadAndBadOnesRefused) {
    auto parse = [](std::vector<const char*> args, Options& o, std::string& why) {
        args.insert(args.begin(), "sim");
        return parseOptions(static_cast<int>(args.size()), args.data(), o, why);
    };
    Options o;
    std::string why;
    ASSERT_TRUE(parse({"--certs", "/c", "--tls-port", "0", "--http-port=65535", "--speed", "2.5", "--exec", "update",
                       "--exec", "sleep 1", "--bind", "0.0.0.0"},
                      o, why))
        << why;
    EXPECT_EQ("/c", o.certs);
    EXPECT_EQ(0, o.tlsPort);
    EXPECT_EQ(65535, o.httpPort);
    EXPECT_DOUBLE_EQ(2.5, o.speed);
    EXPECT_EQ((std::vector<std::string>{"update", "sleep 1"}), o.exec);
    EXPECT_EQ("127.0.0.1", o.publicHost()) << "URLs never name 0.0.0.0";
    EXPECT_EQ(defaultStudiosFile(), o.studios);

    ASSERT_TRUE(parse({"--help"}, o, why));
    EXPECT_TRUE(o.help);
    for (const std::vector<const char*>& bad :
         std::vector<std::vector<const char*>>{{},
                                               {"--certs"},
                                               {"--certs", "/c", "--tls-port", "65536"},
                                               {"--certs", "/c", "--http-port", "-1"},
                                               {"--certs", "/c", "--speed", "-1"},
                                               {"--certs", "/c", "--speed", "nan"},
                                               {"--certs", "/c", "--speed", "1x"},
                                               {"--certs", "/c", "--bind", "localhost"},
                                               {"--certs", "/c", "--frobnicate"},
                                               {"--certs", "/c", "--help=yes"},
                                               {"--certs", ""}}) {
        EXPECT_FALSE(parse(bad, o, why)) << (bad.empty() ? "(none)" : bad.back());
        EXPECT_FALSE(why.empty());
    }
}

TEST(LogText, PayloadsAreQuotedWithoutRawControlCharacters) {
    EXPECT_EQ("\"STA-01\"", logQuoted("STA-01"));
    EXPECT_EQ("\"\"", logQuoted(""));
    EXPECT_EQ("\"a\\\"b\\\\c\\n\\r\\t\\x00\\x1b\\x7f\\xc3\\xa4\"",
              logQuoted(std::string("a\"b\\c\n\r\t\0\x1b\x7f\xc3\xa4", 13)));
    EXPECT_EQ("\"abc\"...", logQuoted("abcdef", 3));
    const std::string big(5000, 'x');
    const std::string q = logQuoted(big);
    EXPECT_EQ(kLogPayloadLimit + 2 + 3, q.size());
}
