#include "model/PlaylistEvent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestPlaylist.h"

namespace {

const char kFullEvent[] =
    "<Playlist name=\"StudioA-Main\">"
    "<Clock><Date year=\"2002\" month=\"8\" day=\"30\"/><Time hh=\"17\" mm=\"58\" ss=\"40\"/></Clock>"
    "<Event id=\"EV104\" name=\"Weather &amp; Traffic\" status=\"Running\" quorServer=\"192.168.10.22\">"
    "  <Segment id=\"102\"><OnAir>"
    "    <Date month=\"8\" day=\"30\" year=\"2002\"/>"
    "    <Time hh=\"6\" mm=\"5\" ss=\"4\" ff=\"3\"/>"
    "    <Duration hh=\"0\" mm=\"4\" ss=\"0\" ff=\"12\"/>"
    "  </OnAir></Segment>"
    "  <QuorTrigger active=\"true\" sent=\"false\"/>"
    "</Event>"
    "</Playlist>";

PlaylistEvent ReadOne(const std::string& eventXml) {
    const CElementNode root = ParsePlaylist("<P><Clock/>" + eventXml + "</P>");
    return ReadPlaylistEvent(FirstPlaylistEvent(root));
}

std::string Trigger(const char* active, const char* sent) {
    return std::string("<QuorTrigger active=\"") + active + "\" sent=\"" + sent + "\"/>";
}

}  // namespace

TEST(ReadPlaylistEvent, ReadsEveryField) {
    const CElementNode root = ParsePlaylist(kFullEvent);
    const PlaylistEvent e = ReadPlaylistEvent(FirstPlaylistEvent(root));
    EXPECT_STREQ("102", e.segmentId);
    EXPECT_STREQ("EV104", e.eventId);
    EXPECT_STREQ("Weather & Traffic", e.title);
    EXPECT_STREQ("Running", e.status);
    EXPECT_STREQ("8/30/2002 06:05:04:03", e.startText);
    EXPECT_EQ(Timecode(0, 4, 0, 12), e.duration);
    EXPECT_STREQ("192.168.10.22", e.quorServer);
    EXPECT_TRUE(e.triggerActive);
    EXPECT_FALSE(e.triggerSent);
    EXPECT_TRUE(e.IsRunning());
    EXPECT_STREQ("StudioA-Main", ReadPlaylistName(root));
}

TEST(ReadPlaylistEvent, ColumnTextsFollowTheColumnTable) {
    const PlaylistEvent e = ReadPlaylistEvent(FirstPlaylistEvent(ParsePlaylist(kFullEvent)));
    const std::vector<std::string> expected = {
        "", "102", "EV104", "Weather & Traffic", "Running", "8/30/2002 06:05:04:03", "00:04:00:12", "192.168.10.22"};
    for (int column = 0; column < kPlaylistColumnCount; ++column)
        EXPECT_EQ(expected[column], std::string(e.ColumnText(column))) << "column " << column;
    EXPECT_STREQ("", e.ColumnText(-1));
    EXPECT_STREQ("", e.ColumnText(8));

    const std::vector<std::string> headings = {"",       "Segment",   "Id",       "Title",
                                               "Status", "StartTime", "Duration", "QuorServer"};
    for (int column = 0; column < kPlaylistColumnCount; ++column)
        EXPECT_STREQ(headings[column].c_str(), PlaylistColumnHeading(column));
    EXPECT_STREQ("", PlaylistColumnHeading(8));
}

TEST(ReadPlaylistEvent, StartTextIsMonthFirstWithDateTextsAsWritten) {
    auto start = [](const char* month, const char* day, const char* year, const char* time) {
        return std::string(ReadOne(EventXml("", std::string("<Segment><OnAir><Date month=\"") + month + "\" day=\"" +
                                                    day + "\" year=\"" + year + "\"/>" + time + "</OnAir></Segment>"))
                               .startText);
    };
    EXPECT_EQ("12/1/2002 23:59:59:24", start("12", "1", "2002", "<Time hh=\"23\" mm=\"59\" ss=\"59\" ff=\"24\"/>"));
    EXPECT_EQ("8/30/2002 06:05:04:03", start("8", "30", "2002", "<Time hh=\"6\" mm=\"5\" ss=\"4\" ff=\"3\"/>"));
    // No zero-fill and no check on the date; the time fields go through ToInt.
    EXPECT_EQ("08/Aug/02 08:00:-01:00", start("08", "Aug", "02", "<Time hh=\"08\" mm=\"x\" ss=\"-1\" ff=\"\"/>"));
    EXPECT_EQ("// 00:00:00:00", start("", "", "", ""));
}

TEST(ReadPlaylistEvent, ImagePrecedence) {
    struct Case {
        const char* segment;
        const char* active;
        const char* sent;
        int image;
    };
    const Case cases[] = {
        {"-1", "false", "true", kImageBlank},          {"-1", "true", "true", kImageBlank},
        {"5", "true", "true", kImageTriggerSent},      {"5", "false", "true", kImageTriggerSent},
        {"5", "true", "false", kImageTriggerActive},   {"5", "false", "false", kImageTriggerIdle},
        {"5", "True", "TRUE", kImageTriggerIdle},      {"5", "true ", " true", kImageTriggerIdle},
        {"5", "1", "yes", kImageTriggerIdle},          {"-01", "false", "false", kImageTriggerIdle},
        {" -1", "true", "false", kImageTriggerActive},
    };
    for (const Case& c : cases) {
        const PlaylistEvent e =
            ReadOne(EventXml("", std::string("<Segment id=\"") + c.segment + "\"/>" + Trigger(c.active, c.sent)));
        EXPECT_EQ(c.image, e.ImageIndex()) << c.segment << " " << c.active << " " << c.sent;
    }
}

TEST(ReadPlaylistEvent, AbsentElementsAndAttributesGiveEmptyTextsAndZeros) {
    const std::vector<std::string> sparse = {
        EventXml("", ""),
        EventXml("id=\"only-id\"", ""),
        EventXml("", "<Segment/>"),
        EventXml("", "<Segment id=\"3\"><OnAir/></Segment>"),
        EventXml("", "<Segment><OnAir><Date/><Time/><Duration/></OnAir></Segment><QuorTrigger/>"),
        EventXml("", "<OnAir><Duration hh=\"1\"/></OnAir>"),  // OnAir outside Segment is not read
        EventXml("", "text only <!-- and a comment -->"),
    };
    for (const std::string& xml : sparse) {
        const PlaylistEvent e = ReadOne(xml);
        EXPECT_STREQ("// 00:00:00:00", e.startText) << xml;
        EXPECT_EQ(Timecode(), e.duration) << xml;
        EXPECT_STREQ("00:00:00:00", e.ColumnText(kColumnDuration)) << xml;
        EXPECT_STREQ("", e.title) << xml;
        EXPECT_STREQ("", e.status) << xml;
        EXPECT_STREQ("", e.quorServer) << xml;
        EXPECT_FALSE(e.triggerActive) << xml;
        EXPECT_FALSE(e.triggerSent) << xml;
        EXPECT_FALSE(e.IsRunning()) << xml;
        EXPECT_EQ(kImageTriggerIdle, e.ImageIndex()) << xml;
    }
    EXPECT_STREQ("only-id", ReadOne(sparse[1]).eventId);
    EXPECT_STREQ("3", ReadOne(sparse[3]).segmentId);

    // A null element reads as an event with nothing in it.
    const PlaylistEvent none = ReadPlaylistEvent(CElementNode());
    EXPECT_STREQ("", none.eventId);
    EXPECT_STREQ("// 00:00:00:00", none.startText);
}

TEST(ReadPlaylistEvent, DurationFieldsConvertWithToInt) {
    const PlaylistEvent e = ReadOne(
        EventXml("", "<Segment><OnAir><Duration hh=\"01\" mm=\"-5\" ss=\"9x\" ff=\"99999999999\"/></OnAir></Segment>"));
    EXPECT_EQ(Timecode(1, -5, 9, 2147483647), e.duration);
}

TEST(ReadPlaylist, EveryLaterChildOfTheRootIsAnEventWhateverItsTag) {
    const CElementNode root = ParsePlaylist(
        "<P name=\"p\">"
        "  <Anything><Date year=\"2002\" month=\"8\" day=\"30\"/></Anything>"
        "  <!-- comments and text between events are not children -->"
        "  <Event id=\"a\" status=\"Running\"/> stray text"
        "  <Other id=\"b\"/>"
        "  <Event id=\"c\"><Segment id=\"-1\"/></Event>"
        "</P>");
    std::vector<std::string> ids;
    for (CElementNode e = FirstPlaylistEvent(root); !e.IsNull(); e = e.GetNextSibling())
        ids.emplace_back(ReadPlaylistEvent(e).eventId.GetString());
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), ids);
}

TEST(ReadPlaylist, RootWithOnlyTheClockHasNoEvents) {
    const ScopedTimeZone zone("UTC0");
    const CElementNode root =
        ParsePlaylist("<P><C><Date year=\"2002\" month=\"8\" day=\"30\"/><Time hh=\"6\" mm=\"5\" ss=\"4\"/></C></P>");
    const std::optional<CTime> clock = ReadPlaylistClock(root);
    ASSERT_TRUE(clock.has_value());
    EXPECT_EQ(2002, clock->GetYear());
    EXPECT_EQ(6, clock->GetHour());
    EXPECT_TRUE(FirstPlaylistEvent(root).IsNull());
}

TEST(ReadPlaylistClock, BuildsLocalTimeWithDaylightSavingLeftToTheLibrary) {
    const ScopedTimeZone zone(kCentralEurope);
    // Summer: daylight saving applies; the hour reads back unchanged.
    const std::optional<CTime> summer = ReadPlaylistClock(ParsePlaylist(
        "<P><C><Date year=\"2002\" month=\"8\" day=\"30\"/><Time hh=\"17\" mm=\"58\" ss=\"40\"/></C></P>"));
    ASSERT_TRUE(summer.has_value());
    EXPECT_EQ(2002, summer->GetYear());
    EXPECT_EQ(8, summer->GetMonth());
    EXPECT_EQ(30, summer->GetDay());
    EXPECT_EQ(17, summer->GetHour());
    EXPECT_EQ(58, summer->GetMinute());
    EXPECT_EQ(40, summer->GetSecond());
    EXPECT_EQ(1030723120, summer->GetTime());  // 15:58:40 UTC

    // Winter: standard time.
    const std::optional<CTime> winter = ReadPlaylistClock(ParsePlaylist(
        "<P><C><Time hh=\"23\" mm=\"59\" ss=\"59\"/><Date year=\"2002\" month=\"12\" day=\"31\"/></C></P>"));
    ASSERT_TRUE(winter.has_value());
    EXPECT_EQ(31, winter->GetDay());
    EXPECT_EQ(23, winter->GetHour());
    EXPECT_EQ(1041375599, winter->GetTime());  // 22:59:59 UTC
}

TEST(ReadPlaylistClock, NoClockElementMeansNoClock) {
    EXPECT_FALSE(ReadPlaylistClock(ParsePlaylist("<P name=\"empty\"/>")).has_value());
    EXPECT_FALSE(ReadPlaylistClock(ParsePlaylist("<P>only text<!-- c --></P>")).has_value());
    EXPECT_FALSE(ReadPlaylistClock(ParsePlaylist("<P><broken></P>")).has_value());
    EXPECT_FALSE(ReadPlaylistClock(CElementNode()).has_value());
}

TEST(ReadPlaylistClock, PresentClockIsUsedWhateverItHolds) {
    const ScopedTimeZone zone("UTC0");
    // No Date and no Time: every field reads 0, which mktime normalises
    // (day 0 of month 0 of year 0 is 30 November of year -1).
    const std::optional<CTime> empty = ReadPlaylistClock(ParsePlaylist("<P><C/><E/></P>"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(-1, empty->GetYear());
    EXPECT_EQ(11, empty->GetMonth());
    EXPECT_EQ(30, empty->GetDay());

    // Out-of-range fields roll over as mktime rolls them.
    const std::optional<CTime> rolled = ReadPlaylistClock(
        ParsePlaylist("<P><C><Date year=\"2002\" month=\"13\" day=\"1\"/><Time hh=\"24\" mm=\"0\" ss=\"0\"/></C></P>"));
    ASSERT_TRUE(rolled.has_value());
    EXPECT_EQ(2003, rolled->GetYear());
    EXPECT_EQ(1, rolled->GetMonth());
    EXPECT_EQ(2, rolled->GetDay());
    EXPECT_EQ(0, rolled->GetHour());
}

TEST(ReadPlaylistClock, FieldsThatCannotBeAClockCountAsNoClock) {
    const ScopedTimeZone zone("UTC0");
    // The year cannot be shifted into the calendar's int.
    EXPECT_FALSE(ReadPlaylistClock(ParsePlaylist("<P><C><Date year=\"-2147483648\" month=\"1\" day=\"1\"/></C></P>"))
                     .has_value());
    // Months carried into a year beyond the int range.
    EXPECT_FALSE(
        ReadPlaylistClock(ParsePlaylist("<P><C><Date year=\"2147483647\" month=\"2147483647\" day=\"1\"/></C></P>"))
            .has_value());
}
