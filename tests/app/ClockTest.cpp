// The playlist clock in the status bar: still until SetClock, then running
// with the wall clock in idle passes.
#include <chrono>
#include <thread>

#include "AppTestSupport.h"

using apptest::AppTest;
using apptest::PaneText;
using guitest::RunLoopFor;
using guitest::RunLoopUntil;

TEST(ClockText, MonthComesFirst) {
    EXPECT_EQ(std::string(FormatClockText(CTime(2002, 12, 31, 23, 59, 59))), "12/31/2002 23:59:59");
    EXPECT_EQ(std::string(FormatClockText(CTime(2002, 8, 30, 6, 5, 4))), "08/30/2002 06:05:04");
}

TEST_F(AppTest, ClockKeepsItsInitialTextUntilSetClock) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const long passes = app.IdlePassesRun();
    RunLoopUntil([&] { return app.IdlePassesRun() - passes > 20; }, 1500);
    EXPECT_GT(app.IdlePassesRun() - passes, 20);
    EXPECT_EQ(PaneText(app, 1), "30/08/2002 00:00:00");
    EXPECT_EQ(app.m_clockRunning, 0);
}

TEST_F(AppTest, ClockRunsWithTheWallClockOnIdlePasses) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const CTime start(2002, 12, 31, 23, 59, 58);
    app.SetClock(start);
    EXPECT_EQ(app.m_clockRunning, 1);
    RunLoopFor(10);
    EXPECT_LE((app.m_clockTime - start).GetTotalSeconds(), 1);
    EXPECT_EQ(PaneText(app, 1), std::string(FormatClockText(app.m_clockTime)));
    // A ticking loop: the clock follows the wall clock across the new year.
    ASSERT_TRUE(RunLoopUntil([&] { return (app.m_clockTime - start).GetTotalSeconds() >= 2; }, 5000));
    EXPECT_EQ(PaneText(app, 1), std::string(FormatClockText(app.m_clockTime)));
    EXPECT_EQ(app.m_clockTime.GetYear(), 2003);
}

TEST_F(AppTest, ClockJumpsAfterABusyPeriod) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    const CTime start(2002, 8, 30, 12, 0, 0);
    app.SetClock(start);
    RunLoopFor(10);
    const std::string before = PaneText(app, 1);
    const CTime shownBefore = app.m_clockTime;
    // The GUI thread is busy: no idle pass, the pane stands still.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(PaneText(app, 1), before);
    // The next idle pass moves it by the whole time in one step.
    QTimer::singleShot(0, [] {});
    RunLoopFor(5);
    EXPECT_GE((app.m_clockTime - shownBefore).GetTotalSeconds(), 2);
    EXPECT_EQ(PaneText(app, 1), std::string(FormatClockText(app.m_clockTime)));
}

TEST_F(AppTest, ClockGoesBackwardsWhenSetBackwards) {
    CTallyscopeApp app;
    ASSERT_TRUE(app.InitInstance());
    app.SetClock(CTime(2002, 8, 30, 12, 0, 0));
    RunLoopFor(10);
    const CTime earlier(2002, 8, 30, 11, 0, 0);
    app.SetClock(earlier);
    QTimer::singleShot(0, [] {});
    RunLoopFor(10);
    EXPECT_LE((app.m_clockTime - earlier).GetTotalSeconds(), 1);
    const std::string shown = PaneText(app, 1);
    EXPECT_TRUE(shown == "08/30/2002 11:00:00" || shown == "08/30/2002 11:00:01") << shown;
}
