// Idle processing: when it runs, when it must not, and waking the GUI from
// other threads.
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <clocale>
#include <cstring>
#include <thread>

#include "TestClasses.h"
#include "framework/Dialog.h"

using namespace fwtest;
using guitest::RunLoopFor;
using guitest::RunLoopUntil;
using guitest::ScopedModalHook;

namespace {

// An application whose idle behaviour a test sets.
class IdleApp : public CWinApp {
public:
    IdleApp() : CWinApp("IdleApp") {}
    bool OnIdle(long count) override {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        counts.push_back(count);
        if (hook) hook(count);
        --depth;
        if (alwaysMore) return true;
        return CWinApp::OnIdle(count);
    }
    std::vector<long> counts;
    std::function<void(long)> hook;
    bool alwaysMore = false;
    int depth = 0;
    int maxDepth = 0;
};

}  // namespace

TEST_F(FrameworkTest, IdleRunsInTheTopLevelLoopCountingUpUntilFalse) {
    IdleApp app;
    RunLoopFor(50);
    ASSERT_GE(app.counts.size(), 2u);
    // Each block runs count 0 (the base returns true) then count 1 (false).
    EXPECT_EQ(app.counts[0], 0);
    EXPECT_EQ(app.counts[1], 1);
    for (size_t i = 0; i < app.counts.size(); ++i) EXPECT_EQ(app.counts[i], static_cast<long>(i % 2)) << i;
}

TEST_F(FrameworkTest, IdleDoesNotRunOutsideAnEventLoop) {
    IdleApp app;
    // processEvents outside any loop is level 0: no idle pass.
    QTimer::singleShot(0, [] {});
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_TRUE(app.counts.empty());
}

TEST_F(FrameworkTest, IdlePassesAreBoundedPerBlock) {
    IdleApp app;
    app.alwaysMore = true;
    RunLoopFor(30);
    // An OnIdle that always wants more still lets the loop block and end.
    ASSERT_FALSE(app.counts.empty());
    long highest = 0;
    for (long c : app.counts) highest = std::max(highest, c);
    EXPECT_EQ(highest, CWinApp::kMaxIdlePasses - 1);
}

TEST_F(FrameworkTest, IdleIsNeverReentrant) {
    IdleApp app;
    bool spun = false;
    app.hook = [&](long count) {
        if (count != 0 || spun) return;
        spun = true;
        // Waits for events inside an idle pass, at the top level: the
        // dispatcher announces it is about to block again.
        QTimer::singleShot(5, [] {});
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
    };
    RunLoopFor(60);
    EXPECT_TRUE(spun);
    EXPECT_EQ(app.maxDepth, 1);
}

TEST_F(FrameworkTest, IdleSurvivesAnExceptionAndGoesOn) {
    IdleApp app;
    int thrown = 0;
    app.hook = [&](long) {
        if (thrown++ == 0) throw std::runtime_error("idle failed");
    };
    RunLoopFor(20);
    QTimer::singleShot(0, [] {});
    RunLoopFor(20);
    EXPECT_GT(app.counts.size(), 2u);
}

TEST_F(FrameworkTest, NoIdlePassInsideAModalDialogOrMessageBox) {
    IdleApp app;
    CDialogResource dialog;
    dialog.caption = "Modal";
    dialog.cx = 100;
    dialog.cy = 40;
    dialog.items = {{CDialogItemResource::DefPushButton, IDOK, "OK", 0, 10, 10, 40, 14, 0}};
    AfxSetResourceDialog(300, dialog);

    long passesWhileOpen = -1;
    ScopedModalHook hook([&](CModalRun& run) {
        const long before = app.IdlePassesRun();
        // Time passes and events arrive while the modal run is open.
        QTimer ticker;
        ticker.start(5);
        QEventLoop wait;
        QTimer::singleShot(80, &wait, &QEventLoop::quit);
        wait.exec();
        passesWhileOpen = app.IdlePassesRun() - before;
        return run.kind == CModalRun::MessageBox ? IDOK : IDCANCEL;
    });

    int result = 0;
    QTimer::singleShot(0, [&] {
        CDialog dlg(300);
        result = dlg.DoModal();
    });
    RunLoopFor(200);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(passesWhileOpen, 0);

    passesWhileOpen = -1;
    QTimer::singleShot(0, [&] { result = AfxMessageBox("Busy"); });
    RunLoopFor(200);
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(passesWhileOpen, 0);

    // And idle comes back once they are closed.
    const long after = app.IdlePassesRun();
    QTimer::singleShot(0, [] {});
    RunLoopFor(20);
    EXPECT_GT(app.IdlePassesRun(), after);
}

TEST_F(FrameworkTest, WakeFromAnotherThreadLeadsToAnIdlePass) {
    IdleApp app;
    RunLoopFor(10);
    const long before = app.IdlePassesRun();
    std::atomic<bool> stop{false};
    std::thread waker([&] {
        for (int i = 0; i < 2000 && !stop.load(); ++i) {
            AfxWakeGui();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // No timer of ours runs in this loop: only the wakes make it go round.
    QEventLoop loop;
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    app.hook = [&](long) {
        if (app.IdlePassesRun() - before >= 20) loop.quit();
    };
    loop.exec();
    stop = true;
    waker.join();
    EXPECT_GE(app.IdlePassesRun() - before, 20);
}

TEST_F(FrameworkTest, WakeWithoutAnApplicationDoesNothing) {
    AfxWakeGui();
    {
        IdleApp app;
        AfxWakeGui();
        AfxWakeGui();  // merged with the pending one
        RunLoopFor(10);
    }
    AfxWakeGui();
    QCoreApplication::sendPostedEvents();
    SUCCEED();
}

TEST_F(FrameworkTest, ApplicationSetsNumericLocaleToCAndIsUnique) {
    std::setlocale(LC_NUMERIC, "C.UTF-8");
    IdleApp app;
    EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    EXPECT_EQ(AfxGetApp(), &app);
    EXPECT_THROW(IdleApp second, std::logic_error);
    EXPECT_EQ(AfxGetApp(), &app);
}

TEST_F(FrameworkTest, AfxWinMainFailsWhenTheMainFrameCannotLoad) {
    TestApp app;
    TestMainFrame::failCreate = true;
    EXPECT_EQ(AfxWinMain(app), 1);
    EXPECT_EQ(app.m_pMainWnd, nullptr);
}
