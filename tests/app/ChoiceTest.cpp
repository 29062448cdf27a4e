// What the operator sees and chooses in a playlist window survives the
// rebuilds: the chosen events, the scroll position, the running row kept in
// view; and a window whose data may be old says so.
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <QTreeView>

#include <algorithm>

#include "HttpTestServer.h"
#include "PlaylistSupport.h"
#include "app/SessionDocManager.h"

using apptest::ColumnTexts;
using apptest::EventSpec;
using apptest::FirstView;
using apptest::HttpTestServer;
using apptest::OpenPlaylist;
using apptest::PaneText;
using apptest::PlaylistTest;
using apptest::PlaylistXml;
using apptest::WaitForFetches;

namespace {

// n events, "EV<i>", the one at `running` Running, the others Cued.
std::string Playlist(int n, int running) {
    std::vector<EventSpec> events;
    for (int i = 0; i < n; ++i) {
        EventSpec e{"EV" + std::to_string(i)};
        e.status = i == running ? "Running" : "Cued";
        e.durationSeconds = 40;
        events.push_back(e);
    }
    return PlaylistXml(events);
}

// The playlist of these ids, `running` Running.
std::string PlaylistOf(const std::vector<std::string>& ids, const std::string& running) {
    std::vector<EventSpec> events;
    for (const std::string& id : ids) {
        EventSpec e{id};
        e.status = id == running ? "Running" : "Cued";
        e.durationSeconds = 40;
        events.push_back(e);
    }
    return PlaylistXml(events);
}

std::vector<std::string> Ids(int n) {
    std::vector<std::string> ids;
    for (int i = 0; i < n; ++i) ids.push_back("EV" + std::to_string(i));
    return ids;
}

std::vector<int> SelectedRows(const CListCtrl& list) {
    std::vector<int> rows;
    for (int r = list.GetNextItem(-1, LVNI_SELECTED); r >= 0; r = list.GetNextItem(r, LVNI_SELECTED)) rows.push_back(r);
    return rows;
}

// The operator picks one row, as a click does.
void Choose(CListCtrl& list, int row) {
    for (int r : SelectedRows(list)) list.SetItemState(r, 0, LVIS_SELECTED);
    list.SetItemState(row, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
}

bool InView(const CListCtrl& list, int row) {
    const int top = list.GetTopIndex();
    return top >= 0 && row >= top && row < top + list.GetCountPerPage();
}

class ChoiceTest : public PlaylistTest {
protected:
    void SetUp() override {
        PlaylistTest::SetUp();
        app_ = std::make_unique<CTallyscopeApp>();
        ASSERT_TRUE(app_->InitInstance());
        app_->GetMainFrame()->m_hWnd->resize(1000, 600);
        guitest::RunLoopFor(20);
    }
    void TearDown() override {
        app_.reset();
        PlaylistTest::TearDown();
    }
    // Serves the next playlist text and refreshes the document.
    void Update(CTallyscopeDoc* doc, const std::string& path, const std::string& xml) {
        server_.Set(path, xml);
        doc->Refresh();
        ASSERT_TRUE(WaitForFetches(*app_));
        guitest::RunLoopFor(20);
    }
    HttpTestServer server_;
    std::unique_ptr<CTallyscopeApp> app_;
};

}  // namespace

TEST_F(ChoiceTest, TheChosenEventKeepsItsSelectionAndTheCommandsAcrossAnUpdate) {
    server_.Set("/p.xml", Playlist(12, 4));
    CTallyscopeDoc* doc = OpenPlaylist(*app_, server_.Url("/p.xml"));
    ASSERT_NE(doc, nullptr);
    CTallyscopeView* view = FirstView(doc);
    CEventListCtrl& list = view->m_list;
    // A fresh window: the running row is selected and marked, yet nothing
    // is chosen, so no command may act.
    EXPECT_EQ(SelectedRows(list), std::vector<int>{4});
    EXPECT_TRUE(list.GetItemMark(4));
    EXPECT_FALSE(AfxIsCommandEnabled(app_->GetMainFrame(), ID_QUOR_TRIGGER_OFF));
    EXPECT_EQ(view->QuorCommandRow(), -1);

    // The operator chooses the Cued EV7; playout moves on and the running
    // event is now EV5.
    Choose(list, 7);
    EXPECT_EQ(view->ChosenEvents(), std::set<std::string>{"EV7"});
    Update(doc, "/p.xml", Playlist(12, 5));
    EXPECT_EQ(SelectedRows(list), std::vector<int>{7});
    EXPECT_TRUE(list.GetItemMark(5));
    EXPECT_FALSE(list.GetItemMark(4));
    EXPECT_EQ(view->QuorCommandRow(), 7);
    EXPECT_STREQ(list.GetItemText(view->QuorCommandRow(), kColumnId), "EV7");
    EXPECT_TRUE(AfxIsCommandEnabled(app_->GetMainFrame(), ID_QUOR_TRIGGER_OFF));

    // An event inserted above moves EV7 down a row: the choice follows the
    // event, not the row.
    std::vector<std::string> ids = Ids(12);
    ids.insert(ids.begin(), "NEW");
    Update(doc, "/p.xml", PlaylistOf(ids, "EV5"));
    ASSERT_STREQ(list.GetItemText(8, kColumnId), "EV7");
    EXPECT_EQ(SelectedRows(list), std::vector<int>{8});
    EXPECT_EQ(view->LastChosenEvent(), "EV7");
    EXPECT_EQ(list.GetNextItem(-1, LVNI_FOCUSED), 8);

    // The chosen event leaves the playlist: the commands are unavailable
    // rather than acting on whatever row is there now.
    ids.erase(std::find(ids.begin(), ids.end(), "EV7"));
    Update(doc, "/p.xml", PlaylistOf(ids, "EV5"));
    EXPECT_TRUE(SelectedRows(list).empty());
    EXPECT_EQ(view->QuorCommandRow(), -1);
    for (UINT id : {ID_QUOR_TRIGGER_OFF, ID_QUOR_TRIGGER_ON, ID_QUOR_SERVER_CHANGE})
        EXPECT_FALSE(AfxIsCommandEnabled(app_->GetMainFrame(), id)) << id;

    // Esc forgets the choice: the running row is selected again.
    EXPECT_TRUE(AfxExecuteCommand(app_->GetMainFrame(), ID_ESCAPE));
    EXPECT_TRUE(view->ChosenEvents().empty());
    EXPECT_EQ(SelectedRows(list), std::vector<int>{6});
}

TEST_F(ChoiceTest, AFreshWindowShowsTheRunningRowAndFollowsItUntilTheOperatorScrolls) {
    server_.Set("/long.xml", Playlist(400, 300));
    CTallyscopeDoc* doc = OpenPlaylist(*app_, server_.Url("/long.xml"));
    ASSERT_NE(doc, nullptr);
    CEventListCtrl& list = FirstView(doc)->m_list;
    guitest::RunLoopFor(20);
    EXPECT_EQ(SelectedRows(list), std::vector<int>{300});
    EXPECT_TRUE(InView(list, 300)) << list.GetTopIndex();
    // The next event runs: the view follows it.
    Update(doc, "/long.xml", Playlist(400, 330));
    EXPECT_TRUE(InView(list, 330)) << list.GetTopIndex();

    // The operator scrolls to the top and picks a row there: both stay
    // through the next rebuilds, whatever runs.
    QScrollBar* bar = list.GetTreeView()->verticalScrollBar();
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    guitest::RunLoopFor(20);
    ASSERT_EQ(list.GetTopIndex(), 0);
    Choose(list, 3);
    Update(doc, "/long.xml", Playlist(400, 350));
    Update(doc, "/long.xml", Playlist(400, 360));
    EXPECT_EQ(list.GetTopIndex(), 0);
    EXPECT_EQ(SelectedRows(list), std::vector<int>{3});
    EXPECT_TRUE(list.GetItemMark(360));
    // Esc: follow the running event again.
    EXPECT_TRUE(AfxExecuteCommand(app_->GetMainFrame(), ID_ESCAPE));
    guitest::RunLoopFor(20);
    EXPECT_TRUE(InView(list, 360)) << list.GetTopIndex();
    EXPECT_EQ(SelectedRows(list), std::vector<int>{360});
}

TEST_F(ChoiceTest, ARebuildTouchesOnlyTheRowsThatChanged) {
    server_.Set("/r.xml", Playlist(50, 10));
    CTallyscopeDoc* doc = OpenPlaylist(*app_, server_.Url("/r.xml"));
    ASSERT_NE(doc, nullptr);
    CEventListCtrl& list = FirstView(doc)->m_list;
    QAbstractItemModel* model = list.GetTreeView()->model();
    int changedCells = 0;
    int resets = 0;
    QObject watcher;  // the connections end with this scope
    QObject::connect(model, &QAbstractItemModel::dataChanged, &watcher,
                     [&](const QModelIndex& a, const QModelIndex& b) {
                         changedCells += (b.row() - a.row() + 1) * (b.column() - a.column() + 1);
                     });
    QObject::connect(model, &QAbstractItemModel::modelReset, &watcher, [&] { ++resets; });
    // Only the statuses of rows 10 and 11 change (and their marks).
    Update(doc, "/r.xml", Playlist(50, 11));
    EXPECT_EQ(resets, 0);
    EXPECT_GT(changedCells, 0);
    EXPECT_LE(changedCells, 2 * 8 + 4);
    EXPECT_EQ(ColumnTexts(list, kColumnStatus)[11], "Running");
    EXPECT_EQ(ColumnTexts(list, kColumnStatus)[10], "Cued");
    // Fewer events: the rows beyond go; more: they are appended.
    Update(doc, "/r.xml", Playlist(20, 11));
    EXPECT_EQ(list.GetItemCount(), 20);
    Update(doc, "/r.xml", Playlist(60, 11));
    EXPECT_EQ(list.GetItemCount(), 60);
    EXPECT_STREQ(list.GetItemText(59, kColumnId), "EV59");
}

TEST_F(ChoiceTest, AFailedFetchMarksOnlyItsWindowStaleUntilItFetchesWell) {
    server_.Set("/a.xml", Playlist(5, 1));
    server_.Set("/b.xml", Playlist(5, 2));
    CTallyscopeDoc* a = OpenPlaylist(*app_, server_.Url("/a.xml"));
    CTallyscopeDoc* b = OpenPlaylist(*app_, server_.Url("/b.xml"));
    ASSERT_TRUE(a && b);
    CTallyscopeView* va = FirstView(a);
    CTallyscopeView* vb = FirstView(b);
    EXPECT_FALSE(va->IsStale());
    EXPECT_EQ(std::string(va->FreshnessText()).rfind("Updated ", 0), 0u) << va->FreshnessText().GetString();
    EXPECT_NE(std::string(va->FreshnessText()).find("s ago)"), std::string::npos);

    HttpTestServer::Response broken;
    broken.status = 500;
    broken.body = "oops";
    server_.Set("/a.xml", broken);
    server_.Set("/b.xml", Playlist(5, 3));
    app_->RefreshAllDocuments();
    ASSERT_TRUE(WaitForFetches(*app_));
    EXPECT_TRUE(va->IsStale());
    EXPECT_FALSE(vb->IsStale());
    const std::string text = va->FreshnessText().GetString();
    EXPECT_NE(text.find("STALE since "), std::string::npos) << text;
    EXPECT_NE(text.find("HTTP status 500"), std::string::npos) << text;
    EXPECT_NE(text.find("rows from "), std::string::npos) << text;
    // The rows stay, the countdown is greyed, the pane names the failure.
    EXPECT_EQ(va->m_list.GetItemCount(), 5);
    EXPECT_TRUE(va->m_list.GetItemGreyed(1, kColumnDuration));
    EXPECT_FALSE(vb->m_list.GetItemGreyed(3, kColumnDuration));
    EXPECT_EQ(PaneText(*app_, 0), "Fetch failed: " + server_.Url("/a.xml") + ": HTTP status 500");
    // The strip inside the window shows it too.
    auto* strip = va->m_hWnd->findChild<QLabel*>(QStringLiteral("freshness"));
    ASSERT_NE(strip, nullptr);
    EXPECT_EQ(strip->text().toStdString(), text);
    EXPECT_TRUE(strip->isVisible());

    // A good refresh clears the window and the message pane.
    server_.Set("/a.xml", Playlist(5, 2));
    a->Refresh();
    ASSERT_TRUE(WaitForFetches(*app_));
    EXPECT_FALSE(va->IsStale());
    EXPECT_FALSE(va->m_list.GetItemGreyed(2, kColumnDuration));
    EXPECT_EQ(PaneText(*app_, 0), "");
}

TEST_F(ChoiceTest, ALongMessageLeavesTheMainWindowsWidthAlone) {
    CMainFrame* frame = app_->GetMainFrame();
    guitest::RunLoopFor(20);
    const int width = frame->m_hWnd->width();
    const std::string message(300, 'x');
    frame->SetMessagePane(("Fetch failed: " + message).c_str());
    guitest::RunLoopFor(50);
    EXPECT_EQ(frame->m_hWnd->width(), width);
    EXPECT_EQ(PaneText(*app_, 0), "Fetch failed: " + message);
    // The other panes keep their places inside the window.
    QLabel* clock = frame->m_wndStatusBar.GetPaneTextLabel(CMainFrame::kClockPane);
    ASSERT_NE(clock, nullptr);
    EXPECT_LE(clock->mapTo(frame->m_hWnd, QPoint(clock->width(), 0)).x(), width);
}

TEST_F(ChoiceTest, AClickOnTheRunningRowThatIsAlreadySelectedChoosesIt) {
    server_.Set("/p.xml", Playlist(6, 2));
    CTallyscopeDoc* doc = OpenPlaylist(*app_, server_.Url("/p.xml"));
    ASSERT_NE(doc, nullptr);
    CTallyscopeView* view = FirstView(doc);
    CEventListCtrl& list = view->m_list;
    guitest::RunLoopFor(20);
    // Shown selected without being chosen: no command may act on it yet.
    ASSERT_EQ(SelectedRows(list), std::vector<int>{2});
    ASSERT_FALSE(view->HasChoice());
    ASSERT_LT(view->QuorCommandRow(), 0);
    // The operator clicks it: the selection does not change, the choice does.
    QTreeView* tree = list.GetTreeView();
    const QRect cell = tree->visualRect(tree->model()->index(2, kColumnTitle));
    ASSERT_TRUE(cell.isValid());
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    EXPECT_TRUE(view->HasChoice());
    EXPECT_EQ(view->LastChosenEvent(), "EV2");
    EXPECT_EQ(view->QuorCommandRow(), 2);
}
