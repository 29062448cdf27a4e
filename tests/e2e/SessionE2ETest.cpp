// The viewer's session against the real simulator: the studio choice, the
// windows it opens, the notifications, the rebuilt link and the commands.
#include <QEvent>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QSettings>

#include <algorithm>
#include <map>

#include "E2ESupport.h"

using apptest::ColumnTexts;
using apptest::FirstView;
using apptest::PaneText;
using e2e::Documents;
using e2e::DocumentTitles;
using e2e::SessionTest;
using e2e::SimProcess;

namespace {

// Records what a label showed each time it was painted.
class PaintLog : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) shown.push_back(static_cast<QLabel*>(watched)->text().toStdString());
        return false;
    }
    std::vector<std::string> shown;
};

UINT StudioIcon(CTallyscopeApp& app) {
    return app.GetMainFrame()->m_wndStatusBar.GetPaneIcon(CMainFrame::kStudioLinkPane);
}
UINT ViewerIcon(CTallyscopeApp& app) {
    return app.GetMainFrame()->m_wndStatusBar.GetPaneIcon(CMainFrame::kAggrLinkPane);
}

}  // namespace

TEST_F(SessionTest, OpenChoosesAStudioSendsItsIdAndOpensItsPlaylists) {
    const std::vector<std::string> listed = Open("Studio A");
    // Sorted; the duplicate name is listed twice.
    EXPECT_EQ(listed, (std::vector<std::string>{"Studio A", "Studio A", "Studio B"}));
    EXPECT_TRUE(SimSaw("studio id received session=1 id=\"STA-01\" status=known"));
    // Only the first "Studio A": its two playlists, not the other's Shadow.
    EXPECT_EQ(DocumentTitles(*app_), (std::vector<std::string>{"Studio A: Main", "Studio A: Backup"}));
    EXPECT_EQ(manager_->SessionUp(), 1);
    EXPECT_EQ(std::string(manager_->StudioId()), "STA-01");
    EXPECT_EQ(StudioIcon(*app_), static_cast<UINT>(IDI_LINK_UP));
    for (CTallyscopeDoc* doc : Documents(*app_)) {
        EXPECT_FALSE(doc->m_root.IsNull()) << doc->m_url.GetString();
        ASSERT_NE(FirstView(doc), nullptr);
        EXPECT_GT(FirstView(doc)->m_list.GetItemCount(), 0);
        // The URL points at the simulator's HTTP side.
        EXPECT_NE(std::string(doc->m_url).find(":" + std::to_string(sim_.httpPort()) + "/"), std::string::npos);
    }
    EXPECT_TRUE(Until([&] { return ViewerIcon(*app_) == IDI_LINK_UP; }));
}

TEST_F(SessionTest, UpdateRefetchesEveryDocumentAndShowsTheNewState) {
    Open("Studio A");
    ASSERT_EQ(Documents(*app_).size(), 2u);
    CTallyscopeDoc* main = Documents(*app_)[0];
    const std::vector<std::string> before = ColumnTexts(FirstView(main)->m_list, kColumnStatus);
    const size_t mark = sim_.lineCount();
    // advance moves playout on and notifies the studio's clients.
    ASSERT_TRUE(sim_.send("advance"));
    EXPECT_TRUE(Until([&] { return sim_.countLines("http method=\"GET\"", mark) >= 2; }));
    EXPECT_TRUE(Until([&] { return ColumnTexts(FirstView(main)->m_list, kColumnStatus) != before; }));
    // A bare "Update" refetches both again.
    const size_t mark2 = sim_.lineCount();
    const int refreshes = manager_->Refreshes();
    ASSERT_TRUE(sim_.send("update STA-01"));
    EXPECT_TRUE(Until([&] { return sim_.countLines("http method=\"GET\"", mark2) >= 2; }));
    EXPECT_TRUE(Until([&] { return manager_->Refreshes() == refreshes + 1; }));
}

TEST_F(SessionTest, StudioKeywordsFlipTheStudioIconForThatStudioOnly) {
    Open("Studio A");
    ASSERT_TRUE(sim_.send("studio STA-01 down"));
    EXPECT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_DOWN; }));
    // Another studio's keyword does not reach this client.
    const size_t mark = sim_.lineCount();
    ASSERT_TRUE(sim_.send("studio STB-02 up"));
    ASSERT_TRUE(SimSaw("notify StudioConnected studio=\"STB-02\" sessions=0", mark));
    guitest::RunLoopFor(200);
    EXPECT_EQ(StudioIcon(*app_), static_cast<UINT>(IDI_LINK_DOWN));
    ASSERT_TRUE(sim_.send("studio STA-01 up"));
    EXPECT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_UP; }));
}

TEST_F(SessionTest, UpdateThenStudioKeywordBeforeOneIdlePassGivesBoth) {
    Open("Studio A");
    ASSERT_TRUE(sim_.send("studio STA-01 down"));
    ASSERT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_DOWN; }));
    AggrSocket* socket = manager_->CurrentSocket();
    const int refreshes = manager_->Refreshes();
    // No event loop runs while both arrive, so no idle pass comes between.
    ASSERT_TRUE(sim_.send("update STA-01"));
    ASSERT_TRUE(sim_.send("studio STA-01 up"));
    for (int i = 0; i < 400 && !(socket->LastMessage() == "StudioConnected"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_STREQ(socket->LastMessage(), "StudioConnected");
    EXPECT_EQ(manager_->Refreshes(), refreshes);
    guitest::RunLoopFor(100);
    EXPECT_EQ(manager_->Refreshes(), refreshes + 1);
    EXPECT_EQ(StudioIcon(*app_), static_cast<UINT>(IDI_LINK_UP));
    // Several "Update"s between two passes still give one refresh.
    ASSERT_TRUE(sim_.send("update STA-01"));
    ASSERT_TRUE(sim_.send("update STA-01"));
    ASSERT_TRUE(sim_.send("update STA-01"));
    const size_t mark = sim_.lineCount();
    ASSERT_TRUE(sim_.send("status"));
    ASSERT_TRUE(SimSaw("status end", mark));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    guitest::RunLoopFor(100);
    EXPECT_EQ(manager_->Refreshes(), refreshes + 2);
}

TEST_F(SessionTest, CancelOpensNothingYetTheLinkIsWatchedAndRebuilt) {
    Open("", true);
    EXPECT_TRUE(DocumentTitles(*app_).empty());
    EXPECT_EQ(manager_->SessionUp(), 1);
    EXPECT_EQ(StudioIcon(*app_), static_cast<UINT>(IDI_LINK_UP));
    guitest::RunLoopFor(200);
    EXPECT_EQ(sim_.countLines("studio id received"), 0u);
    // The rebuilt link resends the (empty) id.
    const size_t mark = sim_.lineCount();
    ASSERT_TRUE(sim_.send("drop"));
    EXPECT_TRUE(Until([&] { return sim_.countLines("studio id received session=2 id=\"\"", mark) == 1; }));
    EXPECT_EQ(manager_->ReconnectAttempts(), 1);
}

TEST_F(SessionTest, ATypedNameNotInTheListActsLikeCancel) {
    Open("Studio Z");
    EXPECT_TRUE(DocumentTitles(*app_).empty());
    EXPECT_EQ(manager_->SessionUp(), 1);
    EXPECT_STREQ(manager_->StudioId(), "");
    guitest::RunLoopFor(200);
    EXPECT_EQ(sim_.countLines("studio id received"), 0u);
}

TEST_F(SessionTest, AStudioWithoutPlaylistsSendsItsIdAndOpensNothing) {
    Open("Studio B");
    EXPECT_TRUE(SimSaw("studio id received session=1 id=\"STB-02\" status=known"));
    EXPECT_TRUE(DocumentTitles(*app_).empty());
    EXPECT_EQ(manager_->SessionUp(), 1);
}

TEST_F(SessionTest, DropIsRepairedAndTheWindowsKeepWorking) {
    Open("Studio A");
    ASSERT_TRUE(SimSaw("studio id received session=1"));
    PaintLog paints;
    QLabel* pane = app_->GetMainFrame()->m_wndStatusBar.GetPaneTextLabel(0);
    pane->installEventFilter(&paints);
    const size_t mark = sim_.lineCount();
    ASSERT_TRUE(sim_.send("drop"));
    EXPECT_TRUE(Until([&] { return sim_.countLines("studio id received session=2 id=\"STA-01\"", mark) == 1; }));
    EXPECT_TRUE(Until([&] { return manager_->ReconnectAttempts() == 1 && manager_->LinkUp(); }));
    EXPECT_EQ(manager_->ReconnectAttempts(), 1);
    // "Reconnecting..." was on screen during the attempt, and is gone after.
    pane->removeEventFilter(&paints);
    EXPECT_NE(std::find(paints.shown.begin(), paints.shown.end(), "Reconnecting..."), paints.shown.end());
    EXPECT_EQ(PaneText(*app_, 0), "");
    // Updates reach the windows over the new session.
    const size_t mark2 = sim_.lineCount();
    ASSERT_TRUE(sim_.send("update STA-01"));
    EXPECT_TRUE(Until([&] { return sim_.countLines("http method=\"GET\"", mark2) >= 2; }));
    EXPECT_EQ(Documents(*app_).size(), 2u);
}

TEST_F(SessionTest, TriggerCommandsReachTheServerAndComeBackInTheRows) {
    Open("Studio A");
    CTallyscopeDoc* main = Documents(*app_)[0];
    CTallyscopeView* view = FirstView(main);
    ASSERT_NE(view, nullptr);
    CListCtrl& list = view->m_list;
    // An event whose trigger is not sent yet: its image follows active.
    std::string id;
    for (int r = 0; r < list.GetItemCount() && id.empty(); ++r)
        if (list.GetItemImage(r) == kImageTriggerActive) id = list.GetItemText(r, kColumnId).GetString();
    ASSERT_FALSE(id.empty());
    const std::string playlist = main->m_root.GetAttribute("name").GetValue().GetString();
    // Rows are rebuilt on every Update, so the event is found by its id.
    auto rowOf = [&] {
        for (int r = 0; r < list.GetItemCount(); ++r)
            if (list.GetItemText(r, kColumnId) == id.c_str()) return r;
        return -1;
    };
    auto select = [&] {
        for (int r = 0; r < list.GetItemCount(); ++r) list.SetItemState(r, 0, LVIS_SELECTED);
        list.SetItemState(rowOf(), LVIS_SELECTED, LVIS_SELECTED);
    };

    size_t mark = sim_.lineCount();
    select();
    view->OnQuorTriggerOff();
    EXPECT_TRUE(
        SimSaw("payload=\"<NoQuorTrigger playlist=\\\"" + playlist + "\\\" eventid=\\\"" + id + "\\\"/>\"", mark));
    EXPECT_TRUE(SimSaw("command applied session=1 command=NoQuorTrigger", mark));
    EXPECT_TRUE(Until([&] { return rowOf() >= 0 && list.GetItemImage(rowOf()) == kImageTriggerIdle; }));

    mark = sim_.lineCount();
    select();
    view->OnQuorTriggerOn();
    EXPECT_TRUE(SimSaw("command applied session=1 command=EnableQuorTrigger", mark));
    EXPECT_TRUE(Until([&] { return rowOf() >= 0 && list.GetItemImage(rowOf()) == kImageTriggerActive; }));

    // The server dialog: Cancel sends nothing, OK sends the typed address.
    mark = sim_.lineCount();
    {
        guitest::ScopedModalHook hook([](CModalRun&) { return IDCANCEL; });
        select();
        view->OnQuorServerChange();
    }
    {
        guitest::ScopedModalHook hook([](CModalRun& run) {
            run.dialog->SetDlgItemText(IDC_QUOR_SERVER_IP, "10.20.30.40");
            return IDOK;
        });
        select();
        view->OnQuorServerChange();
    }
    ASSERT_TRUE(SimSaw("command applied session=1 command=ChangeQuorServer", mark));
    // Only the OK reached the server.
    EXPECT_EQ(sim_.countLines("command received", mark), 1u);
    EXPECT_TRUE(SimSaw("quorServer=\"10.20.30.40\"", mark));
    // The server's Update rebuilds the rows: the address now comes from it.
    EXPECT_TRUE(Until([&] { return sim_.countLines("http method=\"GET\"", mark) >= 2; }));
    guitest::RunLoopFor(100);
    ASSERT_GE(rowOf(), 0);
    EXPECT_STREQ(list.GetItemText(rowOf(), kColumnQuorServer), "10.20.30.40");
}

TEST_F(SessionTest, ACommandAfterAnUpdateNamesTheEventTheOperatorChoseNotTheRunningOne) {
    Open("Studio A");
    CTallyscopeDoc* main = Documents(*app_)[0];
    CTallyscopeView* view = FirstView(main);
    ASSERT_NE(view, nullptr);
    CListCtrl& list = view->m_list;
    // The last Cued event: playout will not reach it with one advance.
    int cued = -1;
    for (int r = 0; r < list.GetItemCount(); ++r)
        if (list.GetItemText(r, kColumnStatus) == "Cued") cued = r;
    ASSERT_GE(cued, 0);
    const std::string chosen = list.GetItemText(cued, kColumnId).GetString();
    for (int r = 0; r < list.GetItemCount(); ++r) list.SetItemState(r, 0, LVIS_SELECTED);
    list.SetItemState(cued, LVIS_SELECTED, LVIS_SELECTED);
    const std::vector<std::string> before = ColumnTexts(list, kColumnStatus);
    // Playout moves on; the server's Update rebuilds the rows.
    ASSERT_TRUE(sim_.send("advance"));
    ASSERT_TRUE(Until([&] { return ColumnTexts(list, kColumnStatus) != before; }));
    std::string running;
    for (int r = 0; r < list.GetItemCount(); ++r)
        if (list.GetItemText(r, kColumnStatus) == "Running") running = list.GetItemText(r, kColumnId).GetString();
    ASSERT_FALSE(running.empty());
    ASSERT_NE(running, chosen);
    const size_t mark = sim_.lineCount();
    view->OnQuorTriggerOff();
    EXPECT_TRUE(SimSaw("eventid=\\\"" + chosen + "\\\"", mark));
    EXPECT_EQ(sim_.countLines("eventid=\\\"" + running + "\\\"", mark), 0u);
}

TEST_F(SessionTest, WhileTheViewerLinkIsDownTheStudioIsUnknownAndTheWindowsStale) {
    Open("Studio A");
    ASSERT_TRUE(SimSaw("studio id received session=1"));
    ASSERT_TRUE(sim_.send("studio STA-01 down"));
    ASSERT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_DOWN; }));
    // The studio's disconnection alone makes the rows doubtful.
    CTallyscopeView* view = FirstView(Documents(*app_)[0]);
    EXPECT_TRUE(Until([&] { return view->IsStale(); }));
    EXPECT_NE(std::string(view->FreshnessText()).find("the studio is disconnected"), std::string::npos);
    ASSERT_TRUE(sim_.send("studio STA-01 up"));
    ASSERT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_UP; }));
    // Still stale until a good fetch with both links up.
    EXPECT_TRUE(view->IsStale());
    ASSERT_TRUE(sim_.send("update STA-01"));
    EXPECT_TRUE(Until([&] { return !view->IsStale(); }));

    // The server goes: the studio's state cannot be known.
    manager_->GetSettings().reconnectPauseFirstMs = 200;
    const int tlsPort = sim_.tlsPort();
    const int httpPort = sim_.httpPort();
    sim_.stop();
    ASSERT_TRUE(Until([&] { return !manager_->LinkUp(); }));
    EXPECT_TRUE(Until([&] { return StudioIcon(*app_) == IDI_LINK_UNKNOWN; }));
    EXPECT_TRUE(Until([&] { return view->IsStale(); }));
    EXPECT_NE(std::string(view->FreshnessText()).find("no link to the server"), std::string::npos)
        << view->FreshnessText().GetString();
    // A command while the link is rebuilt is refused at once, never sent
    // later over the new link.
    int commandRow = 0;
    while (commandRow < view->m_list.GetItemCount() && view->m_list.GetItemText(commandRow, kColumnSegment) == "-1")
        ++commandRow;
    for (int r = 0; r < view->m_list.GetItemCount(); ++r) view->m_list.SetItemState(r, 0, LVIS_SELECTED);
    view->m_list.SetItemState(commandRow, LVIS_SELECTED, LVIS_SELECTED);
    ASSERT_GE(view->QuorCommandRow(), 0);
    app_->GetMainFrame()->SetMessagePane("");
    view->OnQuorTriggerOff();
    EXPECT_EQ(PaneText(*app_, 0), "Not connected");
    // Back: the last known state (up), and fresh rows after the refetch.
    SimProcess again;
    ASSERT_TRUE(again.start(SimProcess::testArgs(
        {"--speed", "0", "--tls-port", std::to_string(tlsPort), "--http-port", std::to_string(httpPort)})));
    EXPECT_TRUE(Until([&] { return manager_->LinkUp() && StudioIcon(*app_) == IDI_LINK_UP; }));
    EXPECT_TRUE(Until([&] { return !view->IsStale(); }));
    guitest::RunLoopFor(200);
    EXPECT_EQ(again.countLines("command received"), 0u);
    app_.reset();
    again.stop();
}

TEST_F(SessionTest, SessionStartTilesTheStudiosWindowsInsideTheAreaAtADeskAndAWall) {
    CMainFrame* frame = app_->GetMainFrame();
    for (const QSize size : {QSize(1280, 720), QSize(3840, 2160)}) {
        frame->m_hWnd->resize(size);
        guitest::RunLoopFor(20);
        Open("Studio A");
        const QRect area = frame->GetMDIClient()->viewport()->rect();
        const QList<QMdiSubWindow*> windows = frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder);
        ASSERT_EQ(windows.size(), 2);
        for (int i = 0; i < windows.size(); ++i) {
            EXPECT_TRUE(area.contains(windows[i]->geometry())) << size.width() << " " << i;
            // A strip as wide as the area: every column of the list has room.
            EXPECT_EQ(windows[i]->geometry().width(), area.width()) << size.width();
            for (int j = i + 1; j < windows.size(); ++j)
                EXPECT_FALSE(windows[i]->geometry().intersects(windows[j]->geometry())) << size.width();
        }
    }
}

namespace {

std::map<std::string, QRect> PlacesByTitle(CMainFrame* frame) {
    std::map<std::string, QRect> places;
    for (QMdiSubWindow* sub : frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder))
        places[sub->windowTitle().toStdString()] = sub->geometry();
    return places;
}

}  // namespace

TEST_F(SessionTest, EachPlaylistWindowComesBackToItsPlaceAfterARestartScaledToTheArea) {
    CMainFrame* frame = app_->GetMainFrame();
    frame->m_hWnd->resize(1280, 720);
    guitest::RunLoopFor(20);
    Open("Studio A");
    QList<QMdiSubWindow*> windows = frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder);
    ASSERT_EQ(windows.size(), 2);
    QRect area = frame->GetMDIClient()->viewport()->rect();
    // The operator's own arrangement: side by side, the second shorter.
    const QRect left(0, 0, area.width() / 2, area.height());
    const QRect right(area.width() / 2, 0, area.width() - area.width() / 2, area.height() * 3 / 4);
    windows[0]->setGeometry(left);
    windows[1]->setGeometry(right);
    const std::map<std::string, QRect> placed = PlacesByTitle(frame);
    guitest::RunLoopFor(20);

    // Quitting saves every window's place.
    const auto restart = [&](QSize size) {
        app_.reset();
        app_ = std::make_unique<CTallyscopeApp>();
        ASSERT_TRUE(app_->InitInstance());
        manager_ = GetSessionDocManager();
        frame = app_->GetMainFrame();
        frame->m_hWnd->resize(size);
        guitest::RunLoopFor(20);
    };
    restart(QSize(1280, 720));
    Open("Studio A");
    ASSERT_EQ(frame->GetMDIClient()->viewport()->rect(), area);
    EXPECT_EQ(PlacesByTitle(frame), placed);

    // On a larger area the same arrangement, scaled: still edge to edge,
    // none over another, none outside.
    frame->m_hWnd->resize(2560, 1440);
    guitest::RunLoopFor(20);
    Open("Studio A");
    area = frame->GetMDIClient()->viewport()->rect();
    windows = frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder);
    ASSERT_EQ(windows.size(), 2);
    EXPECT_EQ(windows[0]->geometry().left(), 0);
    EXPECT_EQ(windows[0]->geometry().height(), area.height());
    EXPECT_EQ(windows[0]->geometry().right() + 1, windows[1]->geometry().left());
    EXPECT_EQ(windows[1]->geometry().right(), area.right());
    EXPECT_LT(windows[1]->geometry().height(), area.height());
    EXPECT_NEAR(windows[0]->geometry().width(), area.width() / 2, 2);
    for (QMdiSubWindow* sub : windows) EXPECT_TRUE(area.contains(sub->geometry()));
    EXPECT_FALSE(windows[0]->geometry().intersects(windows[1]->geometry()));

    // One playlist without a place (or with an unreadable one): all tiled.
    restart(QSize(2560, 1440));
    QSettings settings(QSettings::UserScope, "Local AppWizard-Generated Applications", "Tallyscope");
    settings.beginGroup("Windows");
    const QStringList keys = settings.childKeys();
    ASSERT_EQ(keys.size(), 2) << keys.join(",").toStdString();
    settings.endGroup();
    app_->WriteProfileString("Windows", keys[0].toUtf8().constData(), "1,2,x");
    Open("Studio A");
    windows = frame->GetMDIClient()->subWindowList(QMdiArea::CreationOrder);
    ASSERT_EQ(windows.size(), 2);
    for (QMdiSubWindow* sub : windows) EXPECT_EQ(sub->geometry().width(), area.width());
    EXPECT_FALSE(windows[0]->geometry().intersects(windows[1]->geometry()));
}

namespace {

// A studio whose playlist name needs escaping in a command.
class QuotedNameTest : public SessionTest {
protected:
    bool StartSim() override {
        dir_ = guitest::MakeTempDir((guitest::GetFolders().root + "/quoted-XXXXXX").c_str());
        std::ofstream(dir_ + "/studios.xml") << "<Studios><Studio name=\"Q\" id=\"Q-1\"><Playlist name=\"Odd\" "
                                                "url=\"http://x/playlists/odd.xml\"/></Studio></Studios>\n";
        std::ofstream(dir_ + "/odd.xml") << apptest::PlaylistXml({{"E&amp;1"}, {"E2"}},
                                                                 "Say &quot;hi&quot; &amp; &lt;go&gt;");
        return sim_.start(
            e2e::SimProcess::testArgs({"--speed", "0", "--studios", dir_ + "/studios.xml", "--playlists", dir_}));
    }
    std::string dir_;
};

}  // namespace

TEST_F(QuotedNameTest, CommandValuesAreEscapedAndReadBackExactly) {
    Open("Q");
    ASSERT_EQ(Documents(*app_).size(), 1u);
    CTallyscopeView* view = FirstView(Documents(*app_)[0]);
    ASSERT_NE(view, nullptr);
    view->m_list.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED);
    const size_t mark = sim_.lineCount();
    view->OnQuorTriggerOff();
    EXPECT_TRUE(SimSaw("playlist=\\\"Say &quot;hi&quot; &amp; &lt;go&gt;\\\" eventid=\\\"E&amp;1\\\"", mark));
    // The server unescapes them and finds the playlist and the event.
    EXPECT_TRUE(SimSaw(
        "command applied session=1 command=NoQuorTrigger playlist=\"Say \\\"hi\\\" & <go>\" event=\"E&1\"", mark));
}
