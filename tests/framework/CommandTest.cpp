// Command routing and command-UI state: view, document, child frame, main
// frame, application; toolbar and status-bar updates on idle passes.
#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMdiArea>
#include <QMenuBar>
#include <QSignalSpy>
#include <QStatusTipEvent>
#include <QToolBar>

#include "TestClasses.h"

using namespace fwtest;
using guitest::RunLoopFor;
using guitest::ScopedModalHook;

namespace {

bool ButtonEnabled(TestApp& app, UINT id) {
    CToolBar& bar = app.Frame()->toolbar;
    return bar.GetItemAction(bar.CommandToIndex(id))->isEnabled();
}

}  // namespace

TEST_F(FrameworkTest, ToolbarStateFollowsHandlersAlongTheRoute) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    RunLoopFor(20);
    // No document: only the application's command has a handler.
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_DOC));
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_VIEW));
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_VIEW_OFF));
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_NONE));
    EXPECT_TRUE(ButtonEnabled(app, ID_CMD_APP));

    app.OnFileNew();
    RunLoopFor(20);
    EXPECT_TRUE(ButtonEnabled(app, ID_CMD_DOC));
    EXPECT_TRUE(ButtonEnabled(app, ID_CMD_VIEW));
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_VIEW_OFF));  // its update handler decides
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_NONE));
    EXPECT_TRUE(ButtonEnabled(app, ID_CMD_APP));

    // Closing the window takes the document's and view's commands away.
    app.CloseAllDocuments(false);
    RunLoopFor(20);
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_DOC));
    EXPECT_FALSE(ButtonEnabled(app, ID_CMD_VIEW));
}

TEST_F(FrameworkTest, CommandsRouteViewDocumentFramesApplicationInOrder) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CFrameWnd* frame = app.Frame();
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_FRAME_APP));
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_DOC_APP));  // no document yet: the application
    app.OnFileNew();
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_VIEW_DOC));
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_DOC_APP));
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_CHILD));
    EXPECT_TRUE(AfxExecuteCommand(frame, ID_CMD_APP));
    EXPECT_FALSE(AfxExecuteCommand(frame, ID_CMD_NONE));
    // Disabled by its update handler: the handler does not run.
    EXPECT_FALSE(AfxExecuteCommand(frame, ID_CMD_VIEW_OFF));
    EXPECT_EQ(Log(), (std::vector<std::string>{"frame", "app", "view", "doc", "child", "app"}));
}

TEST_F(FrameworkTest, RoutingFindsTheCurrentWindowWhileADialogIsOpen) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    app.OnFileNew();
    bool enabledInside = false;
    ScopedModalHook hook([&](CModalRun&) {
        // The main window is not the active window now.
        enabledInside = AfxIsCommandEnabled(app.Frame(), ID_CMD_VIEW);
        return IDOK;
    });
    AfxMessageBox("x");
    EXPECT_TRUE(enabledInside);
}

TEST_F(FrameworkTest, ACommandThatThrowsIsReportedInAMessageBox) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    std::string shown;
    ScopedModalHook hook([&](CModalRun& run) {
        shown = run.text.GetString();
        return IDOK;
    });
    EXPECT_TRUE(AfxExecuteCommand(app.Frame(), ID_CMD_THROW));
    EXPECT_EQ(shown, "the handler failed");
}

TEST_F(FrameworkTest, IdleUpdatesChangeWidgetsOnlyWhenTheirStateChanges) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    app.OnFileNew();
    RunLoopFor(20);
    CToolBar& bar = app.Frame()->toolbar;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (int i = 0; i < bar.GetCount(); ++i)
        if (bar.GetItemID(i) != ID_SEPARATOR)
            spies.push_back(std::make_unique<QSignalSpy>(bar.GetItemAction(i), &QAction::changed));
    const long before = app.IdlePassesRun();
    for (int i = 0; i < 5; ++i) {
        QTimer::singleShot(0, [] {});
        RunLoopFor(5);
    }
    EXPECT_GT(app.IdlePassesRun(), before);
    for (auto& spy : spies) EXPECT_EQ(spy->count(), 0);
    // The loop goes quiet: with nothing changing, idle does not keep it busy.
    const long settled = app.IdlePassesRun();
    RunLoopFor(100);
    EXPECT_LE(app.IdlePassesRun() - settled, 4);
}

TEST_F(FrameworkTest, StatusPanesFollowUpdateHandlersAndKeepTheirText) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CStatusBar& bar = app.Frame()->statusBar;
    ASSERT_EQ(bar.GetCount(), 4);
    EXPECT_EQ(std::string(bar.GetPaneText(0)), "Ready");
    EXPECT_EQ(std::string(bar.GetPaneText(3)), "pane free");
    EXPECT_EQ(bar.CommandToIndex(ID_PANE_OFF), 2);
    EXPECT_EQ(bar.CommandToIndex(12345), -1);
    RunLoopFor(20);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(1)), "pane text");
    EXPECT_EQ(std::string(bar.GetPaneText(2)), "pane off");
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(2)), "");  // disabled: no text shown
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(3)), "pane free");

    // A status tip is the fly-by prompt in pane 0; it blanks nothing.
    QStatusTipEvent tip(QStringLiteral("Doing something"));
    QCoreApplication::sendEvent(app.Frame()->m_hWnd, &tip);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(0)), "Doing something");
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(3)), "pane free");
    EXPECT_TRUE(bar.GetPaneTextLabel(3)->isVisible());
    QStatusTipEvent none{QString()};
    QCoreApplication::sendEvent(app.Frame()->m_hWnd, &none);
    EXPECT_EQ(std::string(bar.GetPaneDisplayText(0)), "Ready");

    // Icons by resource id; setting the same one again changes nothing.
    AfxSetResourceIcon(7001, ":/none.png");
    EXPECT_TRUE(bar.SetPaneIcon(3, 7001));
    EXPECT_EQ(bar.GetPaneIcon(3), 7001u);
    EXPECT_TRUE(bar.GetPaneIconLabel(3)->isVisibleTo(bar.m_hWnd));
    EXPECT_TRUE(bar.SetPaneIcon(3, 0));
    EXPECT_FALSE(bar.GetPaneIconLabel(3)->isVisibleTo(bar.m_hWnd));
    EXPECT_FALSE(bar.SetPaneText(9, "x"));
}

TEST_F(FrameworkTest, MenusFollowTheActiveWindowAndAcceleratorsGiveCommands) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    auto* frame = app.Frame();
    EXPECT_EQ(frame->GetMenuResourceId(), static_cast<UINT>(IDR_TEST_MAIN));
    QMenuBar* menuBar = frame->GetMainWindow()->menuBar();
    ASSERT_EQ(menuBar->actions().size(), 1);
    app.OnFileNew();
    EXPECT_EQ(frame->GetMenuResourceId(), static_cast<UINT>(IDR_TEST_DOC));
    ASSERT_EQ(menuBar->actions().size(), 2);
    EXPECT_EQ(menuBar->actions()[1]->text(), QStringLiteral("&Window"));

    // The Window menu lists the open window; its items take their state from
    // the routing when the menu opens.
    QMenu* window = menuBar->actions()[1]->menu();
    emit window->aboutToShow();
    ASSERT_GE(window->actions().size(), 3);
    EXPECT_TRUE(window->actions()[0]->isEnabled());  // New Window, a child is active
    EXPECT_TRUE(window->actions().last()->text().endsWith(QStringLiteral("Doc1")));
    EXPECT_TRUE(window->actions().last()->isChecked());

    // F5 gives the document's command; F6 the application's.
    QAction* f5 = nullptr;
    for (QAction* a : frame->m_hWnd->actions())
        if (a->shortcut() == QKeySequence(Qt::Key_F5)) f5 = a;
    ASSERT_NE(f5, nullptr);
    f5->trigger();
    EXPECT_EQ(Log(), std::vector<std::string>{"doc"});

    app.CloseAllDocuments(false);
    RunLoopFor(10);
    EXPECT_EQ(frame->GetMenuResourceId(), static_cast<UINT>(IDR_TEST_MAIN));
    f5->trigger();  // disabled now: nothing runs
    EXPECT_EQ(Log(), std::vector<std::string>{"doc"});
}

TEST_F(FrameworkTest, ViewToolbarCommandHidesAndShowsTheBar) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CToolBar& bar = app.Frame()->toolbar;
    EXPECT_TRUE(AfxIsCommandEnabled(app.Frame(), ID_VIEW_TOOLBAR));
    EXPECT_FALSE(bar.m_hWnd->isHidden());
    AfxExecuteCommand(app.Frame(), ID_VIEW_TOOLBAR);
    EXPECT_TRUE(bar.m_hWnd->isHidden());
    AfxExecuteCommand(app.Frame(), ID_VIEW_TOOLBAR);
    EXPECT_FALSE(bar.m_hWnd->isHidden());
}
