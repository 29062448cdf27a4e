// Documents, views and frames: creation, initial update, titles, closing,
// opening by name, the recent-file list and window timers.
#include <QMdiArea>
#include <QMdiSubWindow>

#include "TestClasses.h"

using namespace fwtest;
using guitest::RunLoopFor;
using guitest::RunLoopUntil;
using guitest::ScopedModalHook;

namespace {

TestView* OnlyView(CDocument* doc) {
    const auto views = doc->GetViews();
    return views.size() == 1 ? dynamic_cast<TestView*>(views.front()) : nullptr;
}

CDocument* NewDocument(TestApp& app) {
    app.OnFileNew();
    auto* frame = app.Frame();
    return frame->GetActiveDocument();
}

}  // namespace

TEST_F(FrameworkTest, NewOpensOneWindowWhoseViewIsSizedBeforeItsFirstUpdate) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* doc = NewDocument(app);
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(std::string(doc->GetTitle()), "Doc1");
    EXPECT_EQ(TestDoc::live, 1);
    TestView* view = OnlyView(doc);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->initialUpdates, 1);
    EXPECT_GT(view->initialSize.Width(), 100);
    EXPECT_GT(view->initialSize.Height(), 50);
    // The base initial update is an update with no sender.
    ASSERT_EQ(view->updates.size(), 1u);
    EXPECT_EQ(view->updates[0].first, nullptr);
    auto* child = app.Frame()->MDIGetActive();
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child->m_hWnd->windowTitle(), QStringLiteral("Doc1"));
    EXPECT_EQ(app.Frame()->m_hWnd->windowTitle(), QStringLiteral("Test App - Doc1"));

    // A second New numbers on.
    CDocument* second = NewDocument(app);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second->GetTitle()), "Doc2");
    EXPECT_EQ(app.GetOpenDocumentCount(), 2);
}

TEST_F(FrameworkTest, UpdateAllViewsSkipsTheSenderAndWindowsAreNumbered) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* doc = NewDocument(app);
    TestView* first = OnlyView(doc);
    ASSERT_NE(first, nullptr);
    AfxExecuteCommand(app.Frame(), ID_WINDOW_NEW);
    ASSERT_EQ(doc->GetViewCount(), 2);
    auto* second = dynamic_cast<TestView*>(doc->GetViews()[1]);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->GetParentFrame()->m_hWnd->windowTitle(), QStringLiteral("Doc1:2"));
    EXPECT_EQ(first->GetParentFrame()->m_hWnd->windowTitle(), QStringLiteral("Doc1:1"));

    first->updates.clear();
    second->updates.clear();
    doc->UpdateAllViews(first, 7);
    EXPECT_TRUE(first->updates.empty());
    ASSERT_EQ(second->updates.size(), 1u);
    EXPECT_EQ(second->updates[0].first, first);
    EXPECT_EQ(second->updates[0].second, 7);

    // Closing one window keeps the document, closing the last deletes it.
    second->GetParentFrame()->OnClose();
    EXPECT_EQ(TestDoc::live, 1);
    EXPECT_EQ(doc->GetViewCount(), 1);
    EXPECT_EQ(first->GetParentFrame()->m_hWnd->windowTitle(), QStringLiteral("Doc1"));
    first->GetParentFrame()->OnClose();
    EXPECT_EQ(TestDoc::live, 0);
    EXPECT_EQ(TestView::live, 0);
    EXPECT_EQ(app.Frame()->MDIGetActive(), nullptr);
    EXPECT_EQ(app.Frame()->m_hWnd->windowTitle(), QStringLiteral("Test App"));
}

TEST_F(FrameworkTest, FileCloseCommandClosesTheActiveDocument) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    NewDocument(app);
    NewDocument(app);
    EXPECT_EQ(TestDoc::live, 2);
    EXPECT_TRUE(AfxExecuteCommand(app.Frame(), ID_FILE_CLOSE));
    EXPECT_EQ(TestDoc::live, 1);
    // The other window is current now.
    ASSERT_NE(app.Frame()->MDIGetActive(), nullptr);
    EXPECT_EQ(std::string(app.Frame()->GetActiveDocument()->GetTitle()), "Doc1");
}

TEST_F(FrameworkTest, OpeningANameThatIsOpenActivatesIt) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* a = app.m_pDocManager->OpenDocumentFile("http://127.0.0.1:9/a.xml");
    ASSERT_NE(a, nullptr);
    // A URL stays as it is; the title is its last segment.
    EXPECT_EQ(std::string(a->GetPathName()), "http://127.0.0.1:9/a.xml");
    EXPECT_EQ(std::string(a->GetTitle()), "a.xml");
    EXPECT_EQ(static_cast<TestDoc*>(a)->opened, "http://127.0.0.1:9/a.xml");
    CDocument* b = app.m_pDocManager->OpenDocumentFile("http://127.0.0.1:9/b.xml");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(app.Frame()->GetActiveDocument(), b);
    EXPECT_EQ(app.m_pDocManager->OpenDocumentFile("http://127.0.0.1:9/a.xml"), a);
    EXPECT_EQ(app.Frame()->GetActiveDocument(), a);
    EXPECT_EQ(TestDoc::live, 2);
    // A local name is made absolute.
    CDocument* local = app.m_pDocManager->OpenDocumentFile("relative.xml");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->GetPathName().GetString()[0], '/');
}

TEST_F(FrameworkTest, FailedOpenLeavesNoWindowAndAnExceptionTravelsOn) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    TestDoc::failOpen = true;
    EXPECT_EQ(app.m_pDocManager->OpenDocumentFile("http://127.0.0.1:9/x.xml"), nullptr);
    EXPECT_EQ(TestDoc::live, 0);
    EXPECT_EQ(TestView::live, 0);
    EXPECT_TRUE(app.Frame()->GetChildFrames().empty());

    TestDoc::failOpen = false;
    TestDoc::throwOnOpen = true;
    EXPECT_THROW(app.m_pDocManager->OpenDocumentFile("http://127.0.0.1:9/y.xml"), std::runtime_error);
    EXPECT_EQ(TestDoc::live, 0);
    EXPECT_EQ(TestView::live, 0);
    EXPECT_TRUE(app.Frame()->GetChildFrames().empty());
}

TEST_F(FrameworkTest, NoTemplateShowsTheFailedToOpenPrompt) {
    CDocManager manager;
    std::string shown;
    ScopedModalHook hook([&](CModalRun& run) {
        shown = run.text.GetString();
        return IDOK;
    });
    TestApp app;  // a message box wants an application for its caption
    EXPECT_EQ(manager.OpenDocumentFile("http://127.0.0.1:9/x.xml"), nullptr);
    EXPECT_EQ(shown, "Failed to open document.");
}

TEST_F(FrameworkTest, RecentFilesKeepFourDistinctNamesMostRecentFirst) {
    {
        TestApp app;
        ASSERT_TRUE(app.InitInstance());
        for (const char* name : {"http://h/1.xml", "http://h/2.xml", "http://h/3.xml", "http://h/1.xml",
                                 "http://h/4.xml", "http://h/5.xml"})
            app.AddToRecentFileList(name);
        CRecentFileList* list = app.GetRecentFileList();
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->GetCount(), 4);
        EXPECT_EQ(std::string((*list)[0]), "http://h/5.xml");
        EXPECT_EQ(std::string((*list)[1]), "http://h/4.xml");
        EXPECT_EQ(std::string((*list)[2]), "http://h/1.xml");
        EXPECT_EQ(std::string((*list)[3]), "http://h/3.xml");
    }
    // Kept in the user settings of the registry key.
    TestApp again;
    ASSERT_TRUE(again.InitInstance());
    ASSERT_EQ(again.GetRecentFileList()->GetCount(), 4);
    EXPECT_EQ(std::string((*again.GetRecentFileList())[0]), "http://h/5.xml");
    EXPECT_TRUE(QFile::exists(QString::fromStdString(guitest::GetFolders().configHome) +
                              QStringLiteral("/Test Company/TestApp.conf")));
    // An entry that fails to open leaves the list.
    TestDoc::failOpen = true;
    EXPECT_TRUE(AfxExecuteCommand(again.Frame(), ID_FILE_MRU_FILE1));
    EXPECT_EQ(again.GetRecentFileList()->GetCount(), 3);
}

TEST_F(FrameworkTest, WindowTimersCallOnTimerAndStopWithTheWindow) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CDocument* doc = NewDocument(app);
    TestView* view = OnlyView(doc);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->SetTimer(0, 10), 0u);  // 0 is never a timer
    EXPECT_FALSE(view->KillTimer(0));
    EXPECT_EQ(view->SetTimer(1001, 10), 1001u);
    ASSERT_TRUE(RunLoopUntil([&] { return view->timerIds.size() >= 3; }, 2000));
    EXPECT_EQ(view->timerIds[0], 1001u);
    EXPECT_TRUE(view->KillTimer(1001));
    EXPECT_FALSE(view->KillTimer(1001));
    const size_t ticks = view->timerIds.size();
    RunLoopFor(50);
    EXPECT_EQ(view->timerIds.size(), ticks);

    // A timer killed inside its own OnTimer fires once.
    view->killInTimer = true;
    view->SetTimer(7, 5);
    RunLoopFor(60);
    EXPECT_EQ(view->timerIds.size(), ticks + 1);
    EXPECT_FALSE(view->HasTimer(7));

    // A running timer ends with the window.
    view->killInTimer = false;
    view->SetTimer(8, 5);
    view->GetParentFrame()->OnClose();
    EXPECT_EQ(TestView::live, 0);
    RunLoopFor(40);  // would call into a deleted view if it still ran
}

TEST_F(FrameworkTest, ResizingTheFrameResizesTheView) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    TestView* view = OnlyView(NewDocument(app));
    ASSERT_NE(view, nullptr);
    auto* sub = qobject_cast<QMdiSubWindow*>(view->GetParentFrame()->m_hWnd);
    ASSERT_NE(sub, nullptr);
    sub->resize(420, 300);
    RunLoopFor(10);
    CRect client;
    view->GetClientRect(&client);
    EXPECT_EQ(view->lastSize, client);
    EXPECT_LT(client.Width(), 420);
    EXPECT_GT(client.Width(), 380);
}

TEST_F(FrameworkTest, ExitClosesEverythingAndEndsTheLoop) {
    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    NewDocument(app);
    QObject guard;
    QTimer::singleShot(0, &guard, [&] { AfxExecuteCommand(app.Frame(), ID_APP_EXIT); });
    QTimer::singleShot(3000, &guard, [] { QCoreApplication::exit(5); });
    EXPECT_EQ(app.Run(), 0);
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_EQ(TestDoc::live, 0);
}
