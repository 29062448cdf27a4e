// The link flapping every 2 s for two minutes: the server resets every
// session, or is killed and started again on the same ports, in turn. The
// viewer comes back each time, ends connected with its windows fetched, and
// uses what it used before the flapping.
#include <signal.h>

#include <chrono>

#include "LinkFaults.h"

using faults::LinkFaultTest;

TEST_F(LinkFaultTest, TheLinkFlappingEveryTwoSecondsForTwoMinutesIsRecoveredEachTime) {
    ASSERT_TRUE(StartSim()) << sim_.output() << sim_.stderrText();
    const int tlsPort = sim_.tlsPort();
    const int httpPort = sim_.httpPort();
    PointAt(tlsPort);
    const faults::Usage before = faults::TakeBaseline(*app_, http_.Url("/main.xml"));
    ASSERT_TRUE(Open());
    ASSERT_TRUE(manager_->LinkUp());
    ASSERT_EQ(e2e::Documents(*app_).size(), 2u);
    const faults::Usage connected = faults::TakeUsage();

    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::minutes(2);
    int cuts = 0;
    int recovered = 0;
    // At most one cut per 2 s; the count bounds the loop as well.
    for (int cycle = 0; cycle < 60 && Clock::now() < end; ++cycle) {
        const auto cycleEnd = Clock::now() + std::chrono::seconds(2);
        size_t mark = sim_.lineCount();
        const int refreshes = manager_->Refreshes();
        if (cycle % 2 == 0) {
            ASSERT_TRUE(sim_.send("drop"));
        } else {
            ASSERT_TRUE(sim_.signal(SIGKILL));
            ASSERT_NE(sim_.waitExit(5000), -1);
            sim_.stop();  // reaped already: this closes its input pipe
            ASSERT_TRUE(StartSim(tlsPort, httpPort)) << sim_.stderrText();
            mark = 0;
        }
        ++cuts;
        // Back: the id reached the server and every window was asked again.
        const bool back = SimGotId(mark, 15000) &&
                          Until([&] { return manager_->LinkUp() && manager_->Refreshes() > refreshes; }, 15000);
        EXPECT_TRUE(back) << "cut " << cuts << ": " << manager_->LastFailure().GetString() << "\n" << sim_.output();
        if (!back) break;
        ++recovered;
        guitest::RunLoopUntil([&] { return Clock::now() >= cycleEnd; }, 2000);
    }
    EXPECT_GE(cuts, 30);
    EXPECT_EQ(recovered, cuts);
    EXPECT_TRUE(manager_->LinkUp());
    EXPECT_TRUE(apptest::WaitForFetches(*app_));
    for (CTallyscopeDoc* doc : e2e::Documents(*app_)) {
        EXPECT_TRUE(doc->FetchError().IsEmpty()) << doc->FetchError().GetString();
        EXPECT_GT(apptest::FirstView(doc)->m_list.GetItemCount(), 0);
    }
    EXPECT_TRUE(faults::BackTo(connected)) << faults::Against(connected);
    ExpectIdleThenNothingLeft(before);
}
