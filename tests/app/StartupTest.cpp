// Start-up: the empty main frame, its toolbar, menus and seven panes, the
// About box, New, an idle window's CPU use, and a screenshot.
#include <sys/resource.h>
#include <time.h>

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>

#include "AppTestSupport.h"
#include "framework/Document.h"
#include "framework/Settings.h"

using apptest::AppTest;
using apptest::PaneText;
using guitest::RunLoopFor;
using guitest::ScopedModalHook;

namespace {

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

QStringList MenuTitles(CMainFrame* frame) {
    QStringList titles;
    for (QAction* a : frame->GetMainWindow()->menuBar()->actions()) titles << a->text();
    return titles;
}

}  // namespace

TEST_F(AppTest, StartupShowsTheEmptyMainFrameAndOpensNoConnection) {
    const int socketsBefore = apptest::CountInetSockets();
    ASSERT_GE(socketsBefore, 0);
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(50);
    CMainFrame* frame = app.GetMainFrame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(app.m_pMainWnd, frame);
    EXPECT_TRUE(frame->IsWindowVisible());
    EXPECT_EQ(frame->m_hWnd->windowTitle(), QStringLiteral("Tallyscope"));
    EXPECT_TRUE(frame->GetChildFrames().empty());
    EXPECT_EQ(app.GetOpenDocumentCount(), 0);
    EXPECT_EQ(app.m_clockRunning, 0);
    EXPECT_EQ(apptest::CountInetSockets(), socketsBefore);
    // The one window shown is the main frame.
    guitest::FlushDeferredDeletes();
    QWidgetList shown;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) shown << w;
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown.front(), frame->m_hWnd);
}

TEST_F(AppTest, StatusBarHasItsSevenPanesWithBothLinksDown) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(50);
    CStatusBar& bar = app.GetMainFrame()->m_wndStatusBar;
    ASSERT_EQ(bar.GetCount(), 7);
    const UINT ids[] = {ID_SEPARATOR,      ID_INDICATOR_CLOCK, ID_INDICATOR_AGGR_LINK, ID_INDICATOR_STUDIO_LINK,
                        ID_INDICATOR_CAPS, ID_INDICATOR_NUM,   ID_INDICATOR_SCRL};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(bar.GetItemID(i), ids[i]) << i;
    EXPECT_EQ(ID_INDICATOR_CLOCK, 59142);
    EXPECT_EQ(PaneText(app, 0), "Ready");
    EXPECT_EQ(PaneText(app, 1), "30/08/2002 00:00:00");
    EXPECT_EQ(PaneText(app, 2), "Viewer-->Aggr.        ");
    EXPECT_EQ(PaneText(app, 3), "Aggr.-->Studio      ");
    // The key indicators show their text only while the lock is on.
    EXPECT_EQ(std::string(bar.GetPaneText(4)), "CAP");
    EXPECT_EQ(std::string(bar.GetPaneText(5)), "NUM");
    EXPECT_EQ(std::string(bar.GetPaneText(6)), "SCRL");
    EXPECT_EQ(PaneText(app, 4), AfxIsKeyLockOn(KeyLock::Caps) ? "CAP" : "");
    EXPECT_EQ(PaneText(app, 5), AfxIsKeyLockOn(KeyLock::Num) ? "NUM" : "");
    EXPECT_EQ(PaneText(app, 6), AfxIsKeyLockOn(KeyLock::Scroll) ? "SCRL" : "");
    EXPECT_EQ(bar.GetPaneIcon(2), static_cast<UINT>(IDI_LINK_DOWN));
    EXPECT_EQ(bar.GetPaneIcon(3), static_cast<UINT>(IDI_LINK_DOWN));
    for (int pane : {2, 3}) {
        QLabel* icon = bar.GetPaneIconLabel(pane);
        ASSERT_NE(icon, nullptr);
        EXPECT_TRUE(icon->isVisible());
        EXPECT_EQ(icon->pixmap().size(), QSize(16, 16));
    }
    // The clock's initial text sizes its pane: all of it is readable.
    QLabel* clock = bar.GetPaneTextLabel(1);
    EXPECT_GE(clock->width(), clock->fontMetrics().horizontalAdvance(clock->text()));
}

TEST_F(AppTest, PaneOperationsOfTheMainFrame) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.GetMainFrame();
    CStatusBar& bar = frame->m_wndStatusBar;
    frame->SetAggrLinkIcon(true);
    EXPECT_EQ(bar.GetPaneIcon(2), static_cast<UINT>(IDI_LINK_UP));
    EXPECT_EQ(bar.GetPaneIcon(3), static_cast<UINT>(IDI_LINK_DOWN));
    frame->SetStudioLinkIcon(true);
    EXPECT_EQ(bar.GetPaneIcon(3), static_cast<UINT>(IDI_LINK_UP));
    frame->SetAggrLinkIcon(false);
    EXPECT_EQ(bar.GetPaneIcon(2), static_cast<UINT>(IDI_LINK_DOWN));
    frame->SetMessagePane("Reconnecting...");
    EXPECT_EQ(PaneText(app, 0), "Reconnecting...");
    frame->SetMessagePane("");
    EXPECT_EQ(PaneText(app, 0), "");
    frame->SetClockPane("12/31/2002 23:59:59");
    RunLoopFor(20);  // the idle update keeps the clock pane enabled and its text
    EXPECT_EQ(PaneText(app, 1), "12/31/2002 23:59:59");
    EXPECT_EQ(PaneText(app, 2), "Viewer-->Aggr.        ");
}

TEST_F(AppTest, ToolbarHoldsOpenAndThePlaylistCommands) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(50);
    CToolBar& bar = app.GetMainFrame()->m_wndToolBar;
    const UINT ids[] = {ID_FILE_OPEN,        ID_SEPARATOR,       ID_PLAYLIST_REFRESH,
                        ID_QUOR_TRIGGER_OFF, ID_QUOR_TRIGGER_ON, ID_QUOR_SERVER_CHANGE};
    ASSERT_EQ(bar.GetCount(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(bar.GetItemID(i), ids[i]) << i;
    EXPECT_EQ(bar.GetButtonSize().cx, 16);
    EXPECT_EQ(bar.GetButtonSize().cy, 15);
    EXPECT_EQ(bar.GetToolBarCtrl()->iconSize(), QSize(16, 15));
    EXPECT_TRUE(bar.GetToolBarCtrl()->isMovable());
    // Open is the application's; nothing handles the playlist commands
    // while no playlist window is open.
    EXPECT_TRUE(bar.GetItemAction(0)->isEnabled());
    for (int i = 2; i < 6; ++i) EXPECT_FALSE(bar.GetItemAction(i)->isEnabled()) << i;
    EXPECT_EQ(bar.GetItemAction(2)->toolTip(), QStringLiteral("Refresh playlist (F5)"));
    for (int i = 0; i < 6; ++i) {
        if (i != 1) {
            EXPECT_FALSE(bar.GetItemAction(i)->icon().isNull()) << i;
        }
    }
}

TEST_F(AppTest, MenusOfBothStatesAndNewOpensAnEmptyPlaylistWindow) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.GetMainFrame();
    EXPECT_EQ(MenuTitles(frame), (QStringList{"&File", "&View", "&Help"}));
    QMenu* file = frame->GetMainWindow()->menuBar()->actions()[0]->menu();
    emit file->aboutToShow();
    QStringList items;
    for (QAction* a : file->actions())
        if (!a->isSeparator()) items << a->text();
    EXPECT_EQ(items, (QStringList{"&New\tCtrl+N", "&Open...\tCtrl+O", "&Cancel Open\tEsc", "&Reconnect Now\tCtrl+R",
                                  "Recent File", "E&xit"}));

    EXPECT_TRUE(AfxExecuteCommand(frame, ID_FILE_NEW));
    ASSERT_EQ(frame->GetChildFrames().size(), 1u);
    EXPECT_EQ(std::string(frame->GetActiveDocument()->GetTitle()), "Tallys1");
    EXPECT_EQ(frame->m_hWnd->windowTitle(), QStringLiteral("Tallyscope - Tallys1"));
    EXPECT_EQ(MenuTitles(frame), (QStringList{"&File", "&View", "&Window", "&Help"}));
    file = frame->GetMainWindow()->menuBar()->actions()[0]->menu();
    emit file->aboutToShow();
    items.clear();
    for (QAction* a : file->actions())
        if (!a->isSeparator()) items << a->text();
    EXPECT_EQ(items, (QStringList{"&Open...\tCtrl+O", "&Cancel Open\tEsc", "&Reconnect Now\tCtrl+R", "&Close",
                                  "&Save\tCtrl+S", "Save &As...", "Recent File", "E&xit"}));
    RunLoopFor(20);
    // The child frame keeps the clock pane enabled as well.
    EXPECT_EQ(PaneText(app, 1), "30/08/2002 00:00:00");

    EXPECT_TRUE(AfxExecuteCommand(frame, ID_FILE_CLOSE));
    EXPECT_TRUE(frame->GetChildFrames().empty());
    EXPECT_EQ(MenuTitles(frame), (QStringList{"&File", "&View", "&Help"}));
}

TEST_F(AppTest, AboutBoxShowsTheVersionWithoutIdlePasses) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    QString caption;
    QStringList texts;
    bool hasIcon = false;
    long idleWhileOpen = -1;
    ScopedModalHook hook([&](CModalRun& run) {
        caption = run.widget->windowTitle();
        for (QLabel* label : run.widget->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) texts << label->text();
            if (!label->pixmap().isNull()) hasIcon = true;
        }
        const long before = app.IdlePassesRun();
        RunLoopFor(50);  // a nested loop now: no idle pass may run
        idleWhileOpen = app.IdlePassesRun() - before;
        return IDOK;
    });
    EXPECT_TRUE(AfxExecuteCommand(app.GetMainFrame(), ID_APP_ABOUT));
    EXPECT_EQ(caption, QStringLiteral("About Tallyscope"));
    EXPECT_EQ(texts, QStringList{QStringLiteral("Tallyscope Version 3.0.0.1")});
    EXPECT_TRUE(hasIcon);
    EXPECT_EQ(idleWhileOpen, 0);
}

TEST_F(AppTest, AnIdleMainWindowUsesNoMeasurableCpu) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(100);
    const double before = ProcessCpuSeconds();
    const long passes = app.IdlePassesRun();
    RunLoopFor(2000);
    const double used = ProcessCpuSeconds() - before;
    // A busy idle loop would take most of the two seconds.
    EXPECT_LT(used, 0.4);
    EXPECT_LT(app.IdlePassesRun() - passes, 50);
}

TEST_F(AppTest, ScreenshotOfTheEmptyMainFrame) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(100);
    const QPixmap shot = app.GetMainFrame()->m_hWnd->grab();
    ASSERT_FALSE(shot.isNull());
    EXPECT_GE(shot.width(), 600);
    const QString dir = QStringLiteral(TALLYSCOPE_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    EXPECT_TRUE(shot.save(dir + QStringLiteral("/main-frame.png"), "PNG"));
}

TEST_F(AppTest, StartupDoesNotDependOnTheConfiguration) {
    guitest::WriteConfigValue("/no/such/config.xml");
    CTallyscopeApp app;
    EXPECT_TRUE(app.InitInstance());
}

TEST_F(AppTest, ScreenshotWithAnEmptyPlaylistWindow) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    ASSERT_TRUE(AfxExecuteCommand(app.GetMainFrame(), ID_FILE_NEW));
    RunLoopFor(100);
    const QPixmap shot = app.GetMainFrame()->m_hWnd->grab();
    ASSERT_FALSE(shot.isNull());
    const QString dir = QStringLiteral(TALLYSCOPE_BINARY_DIR "/screenshots");
    QDir().mkpath(dir);
    EXPECT_TRUE(shot.save(dir + QStringLiteral("/main-frame-playlist.png"), "PNG"));
}
