// The reactor's one-call wait (SocketEvent::waitWith) and the deferred
// look-again after a receive that filled its buffer.
#include "tarn/platform/Event.h"
#include "tarn/platform/NetEvents.h"
#include "tarn/platform/WinSockErrors.h"

#include "NetTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using namespace tarn::platform;
using namespace nettest;

namespace {

// One pass through waitWith: the result, and the socket event reset when it
// was the socket event that answered.
uint32_t passWith(SocketEvent& ev, Event& wake, uint32_t ms, bool acquireWake = true) {
    const uint32_t r = ev.waitWith(wake, ms, acquireWake);
    if (r == kWaitObject0 + 1) ev.reset();
    return r;
}

NetworkEvents eventsOf(int fd) {
    NetworkEvents out;
    EXPECT_EQ(0, enumNetworkEvents(fd, out));
    return out;
}

}  // namespace

TEST(NetEventsWaitWith, TheSameAnswersAsWaitAnyWithTheWakeObjectFirst) {
    Event wake;
    auto ev = SocketEvent::create();
    ASSERT_NE(nullptr, ev);
    UnixPair p;
    ASSERT_EQ(0, ev->select(p.a, FD_ALL_EVENTS));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    EXPECT_EQ(FD_WRITE, eventsOf(p.a).lNetworkEvents);
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 50));

    // Both ready: the wake object wins and is consumed; the socket follows.
    ASSERT_EQ(1, ::send(p.b, "x", 1, MSG_NOSIGNAL));
    wake.set();
    EXPECT_EQ(kWaitObject0, passWith(*ev, wake, 2000));
    EXPECT_FALSE(wake.tryAcquire()) << "acquired by the wait";
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    EXPECT_EQ(FD_READ, eventsOf(p.a).lNetworkEvents);

    // Manual reset: the socket event answers until it is reset.
    ASSERT_EQ(1, ::send(p.b, "y", 1, MSG_NOSIGNAL));
    char buf[8];
    EXPECT_EQ(1, netRecv(p.a, buf, 1));  // "x": re-enables read, and "y" remains
    EXPECT_EQ(kWaitObject0 + 1, ev->waitWith(wake, 2000));
    EXPECT_EQ(kWaitObject0 + 1, ev->waitWith(wake, 0));
    ev->reset();
    EXPECT_EQ(FD_READ, eventsOf(p.a).lNetworkEvents);
    EXPECT_EQ(1, netRecv(p.a, buf, sizeof buf));
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 0));
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 50));
}

TEST(NetEventsWaitWith, AWakeReportedAfterTheSleepCanBeLeftForTheCaller) {
    Event wake;
    auto ev = SocketEvent::create();
    ASSERT_NE(nullptr, ev);
    UnixPair p;
    ASSERT_EQ(0, ev->select(p.a, FD_ALL_EVENTS));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    eventsOf(p.a);
    for (int round = 0; round < 3; ++round) {
        std::thread setter([&wake] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            wake.set();
        });
        EXPECT_EQ(kWaitObject0, passWith(*ev, wake, 5000, false)) << round;
        setter.join();
        EXPECT_TRUE(wake.tryAcquire()) << "left signalled for the caller, round " << round;
        EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 20, false)) << round;
    }
}

TEST(NetEventsWaitWith, ManyIdleSocketsAndAQuietWakeObjectLetTheWaitSleep) {
    Event wake;
    auto ev = SocketEvent::create();
    ASSERT_NE(nullptr, ev);
    std::vector<std::unique_ptr<TcpPair>> pairs;
    for (int i = 0; i < 50; ++i) {
        pairs.push_back(std::make_unique<TcpPair>());
        ASSERT_EQ(0, ev->select(pairs.back()->server, FD_ALL_EVENTS));
    }
    netClose(pairs[0]->client);  // a peer close: the handle polls ready for ever
    pairs[0]->client = -1;
    for (int round = 0; round < 20 && passWith(*ev, wake, 200) == kWaitObject0 + 1; ++round) {
        for (auto& p : pairs) eventsOf(p->server);
    }
    int wakeUps = 0;
    for (int i = 0; i < 5; ++i) {
        if (passWith(*ev, wake, 40) != kWaitTimeout) ++wakeUps;
    }
    EXPECT_EQ(0, wakeUps) << "nothing new happened: every wait ends by its time-out";
}

TEST(NetEventsWaitWith, AFullReceiveIsLookedAtAgainBeforeTheNextSleep) {
    Event wake;
    auto ev = SocketEvent::create();
    ASSERT_NE(nullptr, ev);
    TcpPair p;
    ASSERT_EQ(0, ev->select(p.server, FD_ALL_EVENTS));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    eventsOf(p.server);
    char data[100];
    std::memset(data, 'd', sizeof data);
    ASSERT_EQ(100, ::send(p.client, data, sizeof data, 0));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    EXPECT_EQ(FD_READ, eventsOf(p.server).lNetworkEvents);
    char buf[100];
    // Each receive fills its buffer and leaves data behind: no new segment
    // will come, so only the look-again before the wait reports it.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(10, netRecv(p.server, buf, 10));
        ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000)) << "after receive " << i;
        EXPECT_EQ(FD_READ, eventsOf(p.server).lNetworkEvents);
    }
    // A full receive followed by one that empties the socket: nothing to
    // report, and the wait sleeps its full time.
    ASSERT_EQ(10, netRecv(p.server, buf, 10));
    ASSERT_EQ(60, netRecv(p.server, buf, sizeof buf));
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 50));
    // Read stays enabled after that receive: new data is reported at once.
    ASSERT_EQ(5, ::send(p.client, data, 5, 0));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    EXPECT_EQ(FD_READ, eventsOf(p.server).lNetworkEvents);
    // A full receive that happens to take the last byte: the look-again
    // finds nothing.
    ASSERT_EQ(5, netRecv(p.server, buf, 5));
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 50));
    EXPECT_EQ(-WSAEWOULDBLOCK, netRecv(p.server, buf, sizeof buf));
}

TEST(NetEventsWaitWith, AHandleClosedWithALookAgainPendingStaysOutOfTheNextSelection) {
    Event wake;
    auto ev = SocketEvent::create();
    ASSERT_NE(nullptr, ev);
    const uint64_t epoch0 = ev->selectionEpoch();
    auto p = std::make_unique<UnixPair>();
    ASSERT_EQ(0, ev->select(p->a, FD_ALL_EVENTS));
    EXPECT_EQ(epoch0, ev->selectionEpoch()) << "joining changes nothing for those selected before";
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    eventsOf(p->a);
    ASSERT_EQ(4, ::send(p->b, "abcd", 4, MSG_NOSIGNAL));
    ASSERT_EQ(kWaitObject0 + 1, passWith(*ev, wake, 2000));
    char buf[2];
    ASSERT_EQ(2, netRecv(p->a, buf, sizeof buf));  // full: a look-again is due
    const int number = p->a;
    p.reset();  // closes both ends: the number leaves the selection
    EXPECT_NE(epoch0, ev->selectionEpoch());
    // A new handle, perhaps with the same number, is not selected and has
    // no events; the stale look-again reports nothing.
    UnixPair fresh;
    EXPECT_EQ(kWaitTimeout, passWith(*ev, wake, 50)) << "old number " << number << ", new " << fresh.a;
    EXPECT_EQ(0, eventsOf(fresh.a).lNetworkEvents);
}
