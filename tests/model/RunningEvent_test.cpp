#include "model/RunningEvent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestPlaylist.h"

namespace {

// The part of a list control that the running-event rule touches: rows of
// texts with a selected flag, rebuilt from a playlist tree, and the state
// that outlives rebuilds.
class RowList {
public:
    struct Row {
        std::vector<std::string> texts;
        int image = -1;
        bool selected = false;
    };

    void Rebuild(const CElementNode& root) {
        rows_.clear();
        for (CElementNode e = FirstPlaylistEvent(root); !e.IsNull(); e = e.GetNextSibling()) {
            const PlaylistEvent event = ReadPlaylistEvent(e);
            const int i = static_cast<int>(rows_.size());
            Row row;
            row.image = event.ImageIndex();
            for (int c = 0; c < kPlaylistColumnCount; ++c) row.texts.emplace_back(event.ColumnText(c).GetString());
            rows_.push_back(row);
            if (state_.ApplyRunningRule(i, event)) rows_[static_cast<size_t>(state_.RunningRow())].selected = true;
        }
    }

    void Tick() {
        if (!state_.Tick()) return;
        const int row = state_.RunningRow();
        if (row >= 0 && row < static_cast<int>(rows_.size()))
            rows_[static_cast<size_t>(row)].texts[kColumnDuration] = state_.Countdown().Format().GetString();
    }

    std::string Duration(int row) const { return rows_.at(static_cast<size_t>(row)).texts[kColumnDuration]; }
    bool Selected(int row) const { return rows_.at(static_cast<size_t>(row)).selected; }
    int Image(int row) const { return rows_.at(static_cast<size_t>(row)).image; }
    size_t Size() const { return rows_.size(); }
    const RunningEventState& State() const { return state_; }

private:
    std::vector<Row> rows_;
    RunningEventState state_;
};

// A playlist of `count` events with the given statuses (default "Cued") and
// durations of (row + 1) minutes.
std::string Playlist(int count, const std::vector<std::pair<int, const char*>>& statuses) {
    std::string xml = "<Playlist name=\"p\"><Clock/>";
    for (int i = 0; i < count; ++i) {
        const char* status = "Cued";
        for (const auto& s : statuses)
            if (s.first == i) status = s.second;
        xml += "<Event id=\"E" + std::to_string(i) + "\" status=\"" + status + "\"><Segment id=\"" +
               std::to_string(10 + i) + "\"><OnAir><Duration hh=\"0\" mm=\"" + std::to_string(i + 1) +
               "\" ss=\"0\" ff=\"7\"/></OnAir></Segment></Event>";
    }
    return xml + "</Playlist>";
}

PlaylistEvent RunningFor(const Timecode& duration) {
    PlaylistEvent e;
    e.status = "Running";
    e.duration = duration;
    return e;
}

}  // namespace

TEST(RunningEventState, StartsWithNoRowAndTicksChangeNothing) {
    RunningEventState state;
    EXPECT_EQ(-1, state.RunningRow());
    EXPECT_EQ(Timecode(), state.Countdown());
    EXPECT_FALSE(state.Tick());
    EXPECT_EQ(Timecode(), state.Countdown());
}

TEST(RunningEventState, OnlyExactlyRunningStartsACountdown) {
    RunningEventState state;
    for (const char* status : {"running", "Running ", "RUNNING", "", "Cued"}) {
        PlaylistEvent e = RunningFor(Timecode(0, 1, 0, 0));
        e.status = status;
        EXPECT_FALSE(state.ApplyRunningRule(0, e)) << status;
    }
    EXPECT_EQ(-1, state.RunningRow());
    EXPECT_TRUE(state.ApplyRunningRule(0, RunningFor(Timecode(0, 1, 0, 0))));
    EXPECT_EQ(0, state.RunningRow());
    EXPECT_EQ(Timecode(0, 1, 0, 0), state.Countdown());
}

TEST(RunningEventState, CountdownRunsThroughZeroIntoNegativeTime) {
    RunningEventState state;
    state.ApplyRunningRule(2, RunningFor(Timecode(0, 0, 1, 5)));
    ASSERT_TRUE(state.Tick());
    EXPECT_STREQ("00:00:00:05", state.Countdown().Format());
    ASSERT_TRUE(state.Tick());
    EXPECT_STREQ("-01:59:59:05", state.Countdown().Format());
    EXPECT_EQ(2, state.RunningRow());
}

TEST(RunningEventList, CountdownContinuesAcrossRebuildsAtTheSameRow) {
    RowList list;
    list.Rebuild(ParsePlaylist(Playlist(5, {{3, "Running"}})));
    EXPECT_TRUE(list.Selected(3));
    EXPECT_FALSE(list.Selected(2));
    EXPECT_EQ("00:04:00:07", list.Duration(3));
    for (int i = 0; i < 10; ++i) list.Tick();
    EXPECT_EQ("00:03:50:07", list.Duration(3));

    // The second read has another duration at row 3; it does not restart the
    // countdown. The cell first shows the fresh duration, the next tick the
    // continued countdown.
    std::string second = Playlist(5, {{3, "Running"}});
    const std::string from = "mm=\"4\"";
    second.replace(second.find(from), from.size(), "mm=\"30\"");
    list.Rebuild(ParsePlaylist(second));
    EXPECT_EQ("00:30:00:07", list.Duration(3));
    EXPECT_TRUE(list.Selected(3));
    list.Tick();
    EXPECT_EQ("00:03:49:07", list.Duration(3));
    EXPECT_EQ(3, list.State().RunningRow());
}

TEST(RunningEventList, RunningAtANewRowRestartsFromItsDuration) {
    RowList list;
    list.Rebuild(ParsePlaylist(Playlist(6, {{2, "Running"}})));
    for (int i = 0; i < 5; ++i) list.Tick();
    EXPECT_EQ("00:02:55:07", list.Duration(2));

    list.Rebuild(ParsePlaylist(Playlist(6, {{2, "Played"}, {4, "Running"}})));
    EXPECT_EQ(4, list.State().RunningRow());
    EXPECT_TRUE(list.Selected(4));
    EXPECT_FALSE(list.Selected(2));
    list.Tick();
    EXPECT_EQ("00:04:59:07", list.Duration(4));
    EXPECT_EQ("00:03:00:07", list.Duration(2));  // row 2 is no longer written
}

TEST(RunningEventList, AnotherEventAtTheCountedRowInheritsTheCountdown) {
    // The row index is the only identity.
    RowList list;
    list.Rebuild(ParsePlaylist(Playlist(4, {{1, "Running"}})));
    list.Tick();
    std::string moved = Playlist(4, {{1, "Running"}});
    const std::string from = "id=\"E1\"";
    moved.replace(moved.find(from), from.size(), "id=\"OTHER\"");
    list.Rebuild(ParsePlaylist(moved));
    list.Tick();
    EXPECT_EQ("00:01:58:07", list.Duration(1));
}

TEST(RunningEventList, RebuildWithoutRunningKeepsWritingTheOldRowIndex) {
    RowList list;
    list.Rebuild(ParsePlaylist(Playlist(4, {{3, "Running"}})));
    list.Tick();
    list.Rebuild(ParsePlaylist(Playlist(4, {})));
    EXPECT_EQ(3, list.State().RunningRow());
    EXPECT_FALSE(list.Selected(3));
    list.Tick();
    EXPECT_EQ("00:03:58:07", list.Duration(3));

    // With fewer rows the index no longer exists: the tick has no row to
    // write, but the countdown goes on.
    list.Rebuild(ParsePlaylist(Playlist(2, {})));
    list.Tick();
    EXPECT_EQ(Timecode(0, 3, 57, 7), list.State().Countdown());
    EXPECT_EQ(2u, list.Size());
}

TEST(RunningEventList, SeveralRunningRowsAreAllSelectedAndTheLastNewOneCounts) {
    RowList list;
    list.Rebuild(ParsePlaylist(Playlist(6, {{1, "Running"}, {4, "Running"}})));
    EXPECT_TRUE(list.Selected(1));
    EXPECT_TRUE(list.Selected(4));
    EXPECT_EQ(4, list.State().RunningRow());
    list.Tick();
    EXPECT_EQ("00:04:59:07", list.Duration(4));
    EXPECT_EQ("00:02:00:07", list.Duration(1));

    // On each rebuild row 1 differs from row 4 and then row 4 from row 1, so
    // the countdown restarts from row 4's duration every time.
    list.Rebuild(ParsePlaylist(Playlist(6, {{1, "Running"}, {4, "Running"}})));
    EXPECT_EQ(4, list.State().RunningRow());
    EXPECT_EQ(Timecode(0, 5, 0, 7), list.State().Countdown());
}

TEST(RunningEventList, RunningRowAtIndexZeroShowsItsTriggerImage) {
    RowList list;
    list.Rebuild(ParsePlaylist(
        "<P><Clock/><Event status=\"Running\"><Segment id=\"1\"/><QuorTrigger active=\"true\"/></Event></P>"));
    EXPECT_TRUE(list.Selected(0));
    EXPECT_EQ(kImageTriggerActive, list.Image(0));
}
