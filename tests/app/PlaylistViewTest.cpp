// The playlist view and its event list: columns, images, texts, the running
// row and its countdown, rebuilds, the trigger commands' enabling rule, and
// two windows on one document.
#include <QDir>
#include <QPixmap>
#include <QTreeView>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"
#include "app/AppResources.h"
#include "framework/FrameWnd.h"

using apptest::ColumnTexts;
using apptest::EventSpec;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::PlaylistTest;
using apptest::PlaylistXml;
using guitest::RunLoopUntil;

namespace {

PlaylistEvent Event(const char* id, const char* segment, const char* status, bool active, bool sent, int seconds) {
    PlaylistEvent e;
    e.segmentId = segment;
    e.eventId = id;
    e.title = "T";
    e.status = status;
    e.startText = "8/30/2002 01:02:03:04";
    e.duration = Timecode(0, 0, seconds, 5);
    e.quorServer = "10.0.0.1";
    e.triggerActive = active;
    e.triggerSent = sent;
    return e;
}

class EventListTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        RegisterTallyscopeResources();  // the row icons, without an application
        ASSERT_TRUE(parent.Create(nullptr, "list parent", WS_VISIBLE, CRect(0, 0, 700, 300), nullptr, 0));
        ASSERT_TRUE(list.Create(WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_REPORT, CRect(0, 0, 700, 300), &parent, 1));
        list.SetupColumns(nullptr);
    }
    void TearDown() override {
        list.DestroyWindow();
        parent.DestroyWindow();
        AppTest::TearDown();
    }
    CWnd parent;
    CEventListCtrl list;
};

}  // namespace

TEST_F(EventListTest, SevenHundredPixelsGiveTheColumnWidths) {
    const std::vector<int> expected{20, 100, 97, 97, 97, 97, 97, 97};
    ASSERT_EQ(list.GetColumnCount(), 8);
    for (int c = 0; c < 8; ++c) EXPECT_EQ(list.GetColumnWidth(c), expected[static_cast<size_t>(c)]) << c;
    const QAbstractItemModel* columns = list.GetTreeView()->model();
    EXPECT_EQ(columns->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Segment"));
    EXPECT_EQ(columns->headerData(7, Qt::Horizontal).toString(), QStringLiteral("QuorServer"));
    EXPECT_EQ(columns->headerData(3, Qt::Horizontal, Qt::TextAlignmentRole).toInt() & Qt::AlignHCenter,
              Qt::AlignHCenter);
    EXPECT_TRUE(list.GetStyle() & LVS_SHOWSELALWAYS);
    EXPECT_FALSE(list.GetStyle() & LVS_EDITLABELS);
    EXPECT_FALSE(list.GetStyle() & LVS_SINGLESEL);
    EXPECT_TRUE(list.GetExtendedStyle() & LVS_EX_FULLROWSELECT);
    CImageList* images = list.GetImageList(LVSIL_SMALL);
    ASSERT_NE(images, nullptr);
    EXPECT_EQ(list.GetImageList(LVSIL_NORMAL), images);
    EXPECT_EQ(images->GetImageCount(), 4);
    EXPECT_EQ(images->GetImageSize().cx, 24);
}

TEST_F(EventListTest, NarrowWindowsGiveNoNegativeWidths) {
    CWnd narrowParent;
    ASSERT_TRUE(narrowParent.Create(nullptr, "narrow", WS_VISIBLE, CRect(0, 0, 10, 50), nullptr, 0));
    CEventListCtrl narrow;
    ASSERT_TRUE(narrow.Create(WS_CHILD | WS_VISIBLE | LVS_REPORT, CRect(0, 0, 10, 50), &narrowParent, 1));
    narrow.SetupColumns(nullptr);
    EXPECT_EQ(narrow.GetColumnWidth(1), 1);
    EXPECT_EQ(narrow.GetColumnWidth(2), 0);
    narrow.DestroyWindow();
    narrowParent.DestroyWindow();
}

TEST_F(EventListTest, RowsShowTheirImagesTextsAndTheRunningRowIsSelected) {
    list.AddEventRow(Event("A", "-1", "Standby", true, true, 10));
    list.AddEventRow(Event("B", "2", "Standby", true, true, 10));
    list.AddEventRow(Event("C", "3", "Running", true, false, 10));
    list.AddEventRow(Event("D", "4", "Standby", false, false, 10));
    EXPECT_EQ(list.GetItemImage(0), kImageBlank);
    EXPECT_EQ(list.GetItemImage(1), kImageTriggerSent);
    EXPECT_EQ(list.GetItemImage(2), kImageTriggerActive);
    EXPECT_EQ(list.GetItemImage(3), kImageTriggerIdle);
    EXPECT_EQ(std::string(list.GetItemText(2, 0)), "");
    EXPECT_EQ(std::string(list.GetItemText(2, kColumnSegment)), "3");
    EXPECT_EQ(std::string(list.GetItemText(2, kColumnStatus)), "Running");
    EXPECT_EQ(std::string(list.GetItemText(2, kColumnStartTime)), "8/30/2002 01:02:03:04");
    EXPECT_EQ(std::string(list.GetItemText(2, kColumnDuration)), "00:00:10:05");
    EXPECT_EQ(std::string(list.GetItemText(2, kColumnQuorServer)), "10.0.0.1");
    EXPECT_EQ(list.GetSelectedCount(), 1);
    EXPECT_EQ(list.GetFirstSelectedItem(), 2);
    EXPECT_EQ(list.runningRow(), 2);
}

TEST_F(EventListTest, TickWithoutARunningRowChangesNothing) {
    list.AddEventRow(Event("A", "1", "Standby", false, false, 10));
    list.TickRunningRow();
    EXPECT_EQ(list.runningRow(), -1);
    EXPECT_EQ(list.countdown(), Timecode());
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:10:05");
}

TEST_F(EventListTest, CountdownSurvivesARebuildAtTheSameRowAndRestartsAtANewOne) {
    list.AddEventRow(Event("A", "1", "Running", false, false, 10));
    list.TickRunningRow();
    list.TickRunningRow();
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:08:05");
    list.DeleteAllItems();
    list.AddEventRow(Event("A", "1", "Running", false, false, 10));
    // The rebuilt row shows the playlist's duration until the next tick.
    list.TickRunningRow();
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:07:05");
    list.DeleteAllItems();
    list.AddEventRow(Event("A", "1", "Standby", false, false, 10));
    list.AddEventRow(Event("B", "2", "Running", false, false, 20));
    list.TickRunningRow();
    EXPECT_EQ(list.runningRow(), 1);
    EXPECT_EQ(std::string(list.GetItemText(1, kColumnDuration)), "00:00:19:05");
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:10:05");
    // A running row that vanished is not written anywhere.
    list.DeleteAllItems();
    list.AddEventRow(Event("A", "1", "Standby", false, false, 10));
    list.TickRunningRow();
    EXPECT_EQ(list.GetItemCount(), 1);
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:10:05");
}

TEST_F(PlaylistTest, UpdateBeforeInitialUpdateChangesNothing) {
    CTallyscopeView view;
    view.OnUpdate(nullptr, 0, nullptr);
    EXPECT_EQ(view.m_initialized, 0);
    EXPECT_EQ(view.m_list.GetSafeHwnd(), nullptr);
    EXPECT_EQ(view.QuorCommandRow(), -1);
}

TEST_F(PlaylistTest, ViewTicksOnceASecondAndTheCommandRuleFollowsTheSelection) {
    HttpTestServer server;
    std::vector<EventSpec> events{{"E0", "-1"}, {"E1"}, {"E2", "5"}, {"E3"}, {"E4", "-1"}, {"E5", "7"}};
    events[1].status = "Running";
    events[1].durationSeconds = 50;
    server.Set("/v.xml", PlaylistXml(events));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* doc = apptest::OpenPlaylist(app, server.Url("/v.xml"));
    CTallyscopeView* view = FirstView(doc);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->m_initialized, 1);
    EXPECT_NE(view->m_timerId, 0u);
    CEventListCtrl& list = view->m_list;
    // The list fills the view.
    CRect client;
    CRect listRect;
    view->GetClientRect(&client);
    list.GetWindowRect(&listRect);
    EXPECT_EQ(listRect.Width(), client.Width());
    EXPECT_EQ(list.GetColumnWidth(1), listRect.Width() / 7);
    EXPECT_EQ(list.GetFirstSelectedItem(), 1);
    EXPECT_EQ(std::string(list.GetItemText(1, kColumnDuration)), "00:00:50:05");
    ASSERT_TRUE(RunLoopUntil([&] { return list.countdown() == Timecode(0, 0, 48, 5); }, 4000));
    EXPECT_EQ(std::string(list.GetItemText(1, kColumnDuration)), "00:00:48:05");

    CMainFrame* frame = app.GetMainFrame();
    // The running row was selected by the rebuild, not by the operator: no
    // command may act on it until it is chosen.
    for (UINT id : {ID_QUOR_TRIGGER_OFF, ID_QUOR_TRIGGER_ON, ID_QUOR_SERVER_CHANGE})
        EXPECT_FALSE(AfxIsCommandEnabled(frame, id)) << id;
    list.SetItemState(1, 0, LVIS_SELECTED);
    list.SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
    for (UINT id : {ID_QUOR_TRIGGER_OFF, ID_QUOR_TRIGGER_ON, ID_QUOR_SERVER_CHANGE})
        EXPECT_TRUE(AfxIsCommandEnabled(frame, id)) << id;
    list.SetItemState(1, 0, LVIS_SELECTED);
    EXPECT_EQ(list.GetSelectedCount(), 0);
    for (UINT id : {ID_QUOR_TRIGGER_OFF, ID_QUOR_TRIGGER_ON, ID_QUOR_SERVER_CHANGE})
        EXPECT_FALSE(AfxIsCommandEnabled(frame, id)) << id;
    list.SetItemState(4, LVIS_SELECTED, LVIS_SELECTED);  // segment "-1"
    EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_QUOR_TRIGGER_OFF));
    list.SetItemState(4, 0, LVIS_SELECTED);
    list.SetItemState(5, LVIS_SELECTED, LVIS_SELECTED);
    list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_TRUE(AfxIsCommandEnabled(frame, ID_QUOR_TRIGGER_ON));
    EXPECT_EQ(view->QuorCommandRow(), 2);
    // Row 0 ("-1") first in the selection: unavailable even with 2 and 5.
    list.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
    EXPECT_FALSE(AfxIsCommandEnabled(frame, ID_QUOR_SERVER_CHANGE));
}

TEST_F(PlaylistTest, TwoWindowsOnOneDocumentKeepSeparateCountdowns) {
    HttpTestServer server;
    std::vector<EventSpec> events{{"E0"}, {"E1"}, {"E2"}};
    events[0].status = "Running";
    events[0].durationSeconds = 30;
    server.Set("/two.xml", PlaylistXml(events));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CTallyscopeDoc* doc = apptest::OpenPlaylist(app, server.Url("/two.xml"));
    ASSERT_NE(doc, nullptr);
    CTallyscopeView* first = FirstView(doc);
    first->m_list.TickRunningRow();
    first->m_list.TickRunningRow();
    CDocTemplate* docTemplate = doc->GetDocTemplate();
    CFrameWnd* second = docTemplate->CreateNewFrame(doc, first->GetParentFrame());
    ASSERT_NE(second, nullptr);
    docTemplate->InitialUpdateFrame(second, doc);
    ASSERT_EQ(doc->GetViewCount(), 2);
    auto* other = dynamic_cast<CTallyscopeView*>(doc->GetViews()[1] == first ? doc->GetViews()[0] : doc->GetViews()[1]);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(first->m_list.countdown(), Timecode(0, 0, 28, 5));
    EXPECT_EQ(other->m_list.countdown(), Timecode(0, 0, 30, 5));
    other->m_list.TickRunningRow();
    EXPECT_EQ(first->m_list.countdown(), Timecode(0, 0, 28, 5));
    EXPECT_EQ(other->m_list.countdown(), Timecode(0, 0, 29, 5));
    // A rebuild of both keeps each one's countdown (same running row).
    doc->UpdateAllViews(nullptr);
    first->m_list.TickRunningRow();
    other->m_list.TickRunningRow();
    EXPECT_EQ(std::string(first->m_list.GetItemText(0, kColumnDuration)), "00:00:27:05");
    EXPECT_EQ(std::string(other->m_list.GetItemText(0, kColumnDuration)), "00:00:28:05");
}

TEST_F(PlaylistTest, PlaylistWithoutClockLeavesTheClock) {
    HttpTestServer server;
    server.Set("/noclock.xml", "<Playlist name=\"x\"/>");
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    ASSERT_NE(apptest::OpenPlaylist(app, server.Url("/noclock.xml")), nullptr);
    EXPECT_EQ(app.m_clockRunning, 0);
}

TEST_F(PlaylistTest, ScreenshotOfTwoSamplePlaylists) {
    HttpTestServer server;
    const std::string here = __FILE__;
    const std::string samples = here.substr(0, here.rfind("tests/app/")) + "samples/playlists/";
    server.Set("/studio-a-main.xml", apptest::ReadFile(samples + "studio-a-main.xml"));
    server.Set("/studio-a-backup.xml", apptest::ReadFile(samples + "studio-a-backup.xml"));
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    app.GetMainFrame()->m_hWnd->resize(1100, 700);
    guitest::RunLoopFor(50);
    CDocument* main = apptest::OpenPlaylist(app, server.Url("/studio-a-main.xml"));
    CDocument* backup = apptest::OpenPlaylist(app, server.Url("/studio-a-backup.xml"));
    ASSERT_NE(main, nullptr);
    ASSERT_NE(backup, nullptr);
    EXPECT_GT(FirstView(main)->m_list.GetItemCount(), 0);
    // Stacked, each as wide as the main frame, so every column shows.
    FirstView(main)->GetParentFrame()->m_hWnd->setGeometry(0, 0, 1090, 330);
    FirstView(backup)->GetParentFrame()->m_hWnd->setGeometry(0, 330, 1090, 230);
    guitest::RunLoopFor(1200);
    const QPixmap shot = app.GetMainFrame()->m_hWnd->grab();
    const QString dir = QStringLiteral(TALLYSCOPE_BINARY_DIR) + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    EXPECT_TRUE(shot.save(dir + QStringLiteral("/two-playlists.png"), "PNG"));
}

TEST_F(EventListTest, TheTimerStepCountsWholeSecondsSinceTheLastStep) {
    PlaylistEvent running = Event("R", "1", "Running", false, false, 0);
    running.duration = Timecode(0, 1, 0, 7);
    list.AddEventRow(running);
    const auto t = list.LastStep();
    list.AdvanceRunningRow(t + std::chrono::milliseconds(400));
    EXPECT_EQ(list.countdown(), Timecode(0, 1, 0, 7));
    // A tick a little early still counts as its second.
    list.AdvanceRunningRow(t + std::chrono::milliseconds(950));
    EXPECT_EQ(list.countdown(), Timecode(0, 0, 59, 7));
    // A late tick catches up every second it missed.
    list.AdvanceRunningRow(t + std::chrono::milliseconds(6400));
    EXPECT_EQ(list.countdown(), Timecode(0, 0, 54, 7));
    EXPECT_EQ(std::string(list.GetItemText(0, kColumnDuration)), "00:00:54:07");
    // The steps follow the clock, not the ticks: no drift either way.
    list.AdvanceRunningRow(t + std::chrono::milliseconds(6400));
    EXPECT_EQ(list.countdown(), Timecode(0, 0, 54, 7));
    list.AdvanceRunningRow(t + std::chrono::milliseconds(7000));
    EXPECT_EQ(list.countdown(), Timecode(0, 0, 53, 7));
}

TEST_F(EventListTest, TheCountdownCellWarnsBeforeTheEndAndMarksThePassingOfZero) {
    list.SetCountdownThresholds(30, 10);
    list.SetEventRow(0, Event("A", "1", "Played", false, false, 10));
    list.SetEventRow(1, Event("R", "1", "Running", false, false, 32));
    // 32 s, then 31 s left: nothing yet.
    EXPECT_EQ(list.CountdownAlert(), LVALERT_NONE);
    list.TickRunningRow();
    EXPECT_EQ(list.CountdownAlert(), LVALERT_NONE);
    // 29 s: amber.
    list.TickRunningRow(2);
    EXPECT_EQ(list.countdown().ss, 29);
    EXPECT_EQ(list.CountdownAlert(), LVALERT_WARN);
    // 9 s: red.
    list.TickRunningRow(20);
    EXPECT_EQ(list.countdown().ss, 9);
    EXPECT_EQ(list.CountdownAlert(), LVALERT_ALARM);
    // Zero is still red; one second past it is over, the text as counted.
    list.TickRunningRow(9);
    EXPECT_EQ(list.CountdownAlert(), LVALERT_ALARM);
    list.TickRunningRow();
    EXPECT_EQ(list.CountdownAlert(), LVALERT_OVER);
    EXPECT_STREQ(list.GetItemText(1, kColumnDuration), "-01:59:59:05");
    EXPECT_FALSE(list.GetTreeView()->model()->index(1, kColumnDuration).data(Qt::DecorationRole).isNull());
    // Only the countdown cell carries it.
    EXPECT_EQ(list.GetItemAlert(1, kColumnTitle), LVALERT_NONE);
    EXPECT_EQ(list.GetItemAlert(0, kColumnDuration), LVALERT_NONE);
    // The next event runs: the alert moves off the old row.
    list.SetEventRow(1, Event("R", "1", "Played", false, false, 32));
    list.SetEventRow(2, Event("S", "1", "Running", false, false, 120));
    EXPECT_EQ(list.GetItemAlert(1, kColumnDuration), LVALERT_NONE);
    EXPECT_EQ(list.CountdownAlert(), LVALERT_NONE);
}
