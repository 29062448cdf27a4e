#include "tarn/platform/NetEvents.h"

#include "NetTestUtil.h"
#include "tarn/platform/Event.h"
#include "tarn/platform/WinSockErrors.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace tarn::platform;
using namespace nettest;

namespace {

std::unique_ptr<SocketEvent> makeEvent() {
    auto ev = SocketEvent::create();
    EXPECT_NE(nullptr, ev);
    return ev;
}

void writeAll(int fd, const char* text) {
    ASSERT_EQ(static_cast<ssize_t>(std::strlen(text)), ::send(fd, text, std::strlen(text), MSG_NOSIGNAL));
}

// Selects fd and takes the write event a connected handle reports once.
void selectConnected(SocketEvent& ev, int fd) {
    ASSERT_EQ(0, ev.select(fd, FD_ALL_EVENTS));
    const NetworkEvents first = nextEvents(ev, fd);
    ASSERT_EQ(FD_WRITE, first.lNetworkEvents);
    ASSERT_EQ(0, first.iErrorCode[FD_WRITE_BIT]);
}

double cpuSecondsOfThisThread() {
    rusage ru{};
    ::getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

// --- selection -----------------------------------------------------------

TEST(NetEventsSelect, MakesTheHandleNonBlockingAndRefusesNonSockets) {
    auto ev = makeEvent();
    UnixPair p;
    EXPECT_EQ(0, ::fcntl(p.a, F_GETFL) & O_NONBLOCK);
    ASSERT_EQ(0, ev->select(p.a, FD_ALL_EVENTS));
    EXPECT_NE(0, ::fcntl(p.a, F_GETFL) & O_NONBLOCK);

    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    EXPECT_EQ(-WSAENOTSOCK, ev->select(pipeFds[0], FD_ALL_EVENTS));
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    EXPECT_EQ(-WSAENOTSOCK, ev->select(-1, FD_ALL_EVENTS));
    NetworkEvents out;
    EXPECT_EQ(-WSAENOTSOCK, enumNetworkEvents(-1, out));
}

TEST(NetEventsSelect, ReselectingChangesNothing) {
    auto ev = makeEvent();
    UnixPair p;
    selectConnected(*ev, p.a);
    writeAll(p.b, "x");
    EXPECT_EQ(FD_READ, nextEvents(*ev, p.a).lNetworkEvents);
    // The reactor selects every watched handle in every pass: neither the
    // unreceived data nor the writable state may be reported again by that.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(0, ev->select(p.a, FD_ALL_EVENTS));
    EXPECT_TRUE(quiet(*ev));
    char buf[8];
    EXPECT_EQ(1, netRecv(p.a, buf, sizeof buf));
}

TEST(NetEventsSelect, DeselectedOpenHandleNeverWakesTheWaiter) {
    auto ev = makeEvent();
    UnixPair p;
    selectConnected(*ev, p.a);
    ev->deselect(p.a);
    writeAll(p.b, "ignored");
    ::shutdown(p.b, SHUT_WR);
    EXPECT_TRUE(quiet(*ev, 150));
    NetworkEvents out;
    EXPECT_EQ(0, enumNetworkEvents(p.a, out));
    EXPECT_EQ(0, out.lNetworkEvents);
    // Selected again, it reports what holds now.
    ASSERT_EQ(0, ev->select(p.a, FD_ALL_EVENTS));
    const NetworkEvents again = nextEvents(*ev, p.a);
    EXPECT_EQ(FD_READ | FD_WRITE | FD_CLOSE, again.lNetworkEvents);
}

TEST(NetEventsSelect, ClosedHandleNumberReusedStartsWithAFreshRecord) {
    auto ev = makeEvent();
    auto first = std::make_unique<UnixPair>();
    const int number = first->a;
    selectConnected(*ev, number);
    writeAll(first->b, "stale");
    // Recorded by a look, never enumerated, then closed.
    ASSERT_TRUE(pass(*ev, 2000));
    ASSERT_EQ(0, netClose(number));
    first->a = -1;

    const int reused = netSocket();
    ASSERT_EQ(number, reused) << "the lowest free number is handed out again";
    NetworkEvents out;
    EXPECT_EQ(0, enumNetworkEvents(reused, out));
    EXPECT_EQ(0, out.lNetworkEvents);
    // A fresh, unconnected socket: selected, it reports nothing at all,
    // although it polls as writable and hung up.
    ASSERT_EQ(0, ev->select(reused, FD_ALL_EVENTS));
    EXPECT_TRUE(quiet(*ev));
    ::send(first->b, "more", 4, MSG_NOSIGNAL);  // the old peer reaches nobody now
    EXPECT_TRUE(quiet(*ev));
    EXPECT_EQ(0, netClose(reused));
}

TEST(NetEventsSelect, MovingAHandleToAnotherEvent) {
    auto ev1 = makeEvent();
    auto ev2 = makeEvent();
    UnixPair p;
    selectConnected(*ev1, p.a);
    ASSERT_EQ(0, ev2->select(p.a, FD_ALL_EVENTS));
    EXPECT_EQ(FD_WRITE, nextEvents(*ev2, p.a).lNetworkEvents);
    writeAll(p.b, "y");
    EXPECT_EQ(FD_READ, nextEvents(*ev2, p.a).lNetworkEvents);
    EXPECT_TRUE(quiet(*ev1, 50));
}

TEST(NetEventsSelect, ClosingTheEventDropsItsHandles) {
    UnixPair p;
    {
        auto ev = makeEvent();
        selectConnected(*ev, p.a);
    }
    auto ev = makeEvent();
    // The handle was dropped from the closed event, so this is a fresh
    // selection: the write event of a connected handle comes once more.
    selectConnected(*ev, p.a);
}

TEST(NetEventsSelect, CreateFailsWithoutDescriptors) {
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &none));
    auto ev = SocketEvent::create();
    const int err = errno;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &saved));
    EXPECT_EQ(nullptr, ev);
    EXPECT_EQ(EMFILE, err);
}

// --- read ----------------------------------------------------------------

TEST(NetEventsRead, ReportedOnceUntilAReceive) {
    auto ev = makeEvent();
    UnixPair p;
    selectConnected(*ev, p.a);
    EXPECT_TRUE(quiet(*ev, 50));
    writeAll(p.b, "hello");
    const NetworkEvents e = nextEvents(*ev, p.a);
    EXPECT_EQ(FD_READ, e.lNetworkEvents);
    EXPECT_EQ(0, e.iErrorCode[FD_READ_BIT]);
    // Not received: more data does not report again.
    writeAll(p.b, "world");
    EXPECT_TRUE(quiet(*ev));
    char buf[64];
    EXPECT_EQ(10, netRecv(p.a, buf, sizeof buf));
    EXPECT_TRUE(quiet(*ev, 50));
    writeAll(p.b, "again");
    EXPECT_EQ(FD_READ, nextEvents(*ev, p.a).lNetworkEvents);
    EXPECT_EQ(5, netRecv(p.a, buf, sizeof buf));
    EXPECT_EQ(-WSAEWOULDBLOCK, netRecv(p.a, buf, sizeof buf));
}

TEST(NetEventsRead, PartialReadsAreReportedAgainWhileDataRemains) {
    auto ev = makeEvent();
    TcpPair p;
    selectConnected(*ev, p.server);
    char data[100];
    std::memset(data, 'd', sizeof data);
    ASSERT_EQ(100, ::send(p.client, data, sizeof data, 0));
    EXPECT_EQ(FD_READ, nextEvents(*ev, p.server).lNetworkEvents);
    char buf[100];
    // Three receives that each fill their buffer: each leaves data behind,
    // and no new segment will arrive to say so.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(10, netRecv(p.server, buf, 10));
        EXPECT_EQ(FD_READ, nextEvents(*ev, p.server).lNetworkEvents) << "after receive " << i;
    }
    // Exactly the rest: the buffer is full but nothing remains.
    ASSERT_EQ(70, netRecv(p.server, buf, 70));
    EXPECT_TRUE(quiet(*ev));
    EXPECT_EQ(-WSAEWOULDBLOCK, netRecv(p.server, buf, sizeof buf));
}

// --- close and errors ------------------------------------------------------

TEST(NetEventsClose, OrderlyPeerCloseIsReportedOnceAndNeverSpins) {
    auto ev = makeEvent();
    TcpPair p;
    selectConnected(*ev, p.server);
    writeAll(p.client, "bye");
    ASSERT_EQ(0, netClose(p.client));
    p.client = -1;
    NetworkEvents e = nextEvents(*ev, p.server);
    // Data and the close may arrive as one change or as two.
    if (e.lNetworkEvents == FD_READ) {
        const NetworkEvents more = nextEvents(*ev, p.server);
        e.lNetworkEvents |= more.lNetworkEvents;
        e.iErrorCode[FD_CLOSE_BIT] = more.iErrorCode[FD_CLOSE_BIT];
    }
    EXPECT_EQ(FD_READ | FD_CLOSE, e.lNetworkEvents);
    EXPECT_EQ(0, e.iErrorCode[FD_CLOSE_BIT]);
    EXPECT_TRUE(quiet(*ev));
    char buf[16];
    EXPECT_EQ(3, netRecv(p.server, buf, sizeof buf));
    EXPECT_EQ(0, netRecv(p.server, buf, sizeof buf));
    // The end of the stream polls readable for ever; it is not data.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, ev->select(p.server, FD_ALL_EVENTS));
        EXPECT_TRUE(quiet(*ev, 50));
    }
}

TEST(NetEventsClose, CloseWithoutDataIsTheCloseEventAlone) {
    auto ev = makeEvent();
    UnixPair p;
    selectConnected(*ev, p.a);
    ASSERT_EQ(0, netClose(p.b));
    p.b = -1;
    const NetworkEvents e = nextEvents(*ev, p.a);
    EXPECT_EQ(FD_CLOSE, e.lNetworkEvents);
    EXPECT_EQ(0, e.iErrorCode[FD_CLOSE_BIT]);
    EXPECT_TRUE(quiet(*ev));
}

TEST(NetEventsClose, ResetIsCloseWith10054AloneAndNeverSpins) {
    auto ev = makeEvent();
    TcpPair p;
    selectConnected(*ev, p.server);
    writeAll(p.client, "lost");
    linger hard{1, 0};
    ASSERT_EQ(0, ::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard));
    ASSERT_EQ(0, netClose(p.client));
    p.client = -1;
    NetworkEvents e = nextEvents(*ev, p.server);
    if (e.lNetworkEvents == FD_READ) {
        // The data was looked at before the reset came: fine, but the reset
        // itself must still be the close event with 10054.
        e = nextEvents(*ev, p.server);
    }
    EXPECT_EQ(FD_CLOSE, e.lNetworkEvents);
    EXPECT_EQ(WSAECONNRESET, e.iErrorCode[FD_CLOSE_BIT]);
    // An errored handle polls as ready for ever: it must stay quiet.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, ev->select(p.server, FD_ALL_EVENTS));
        EXPECT_TRUE(quiet(*ev, 50));
    }
    // Linux may still hand out the data that came before the reset.
    char buf[16];
    netRecv(p.server, buf, sizeof buf);
    EXPECT_TRUE(quiet(*ev, 50));
}

TEST(NetEventsClose, ResetWithDataUnreadIsNotARead) {
    auto ev = makeEvent();
    TcpPair p;
    ASSERT_EQ(0, ev->select(p.server, FD_ALL_EVENTS));
    writeAll(p.client, "lost");
    linger hard{1, 0};
    ASSERT_EQ(0, ::setsockopt(p.client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard));
    ASSERT_EQ(0, netClose(p.client));
    p.client = -1;
    // Nobody looked before the reset: one look sees data, error and hang-up.
    const NetworkEvents e = nextEvents(*ev, p.server);
    EXPECT_EQ(FD_CLOSE, e.lNetworkEvents & ~FD_WRITE);
    EXPECT_EQ(WSAECONNRESET, e.iErrorCode[FD_CLOSE_BIT]);
}

// --- connect -----------------------------------------------------------------

TEST(NetEventsConnect, SuccessIsConnectThenWriteOnce) {
    auto ev = makeEvent();
    sockaddr_in addr{};
    const int l = listener(addr);
    const int c = netSocket();
    ASSERT_GE(c, 0);
    ASSERT_EQ(0, ev->select(c, FD_ALL_EVENTS));
    EXPECT_TRUE(quiet(*ev, 50)) << "an unconnected socket reports nothing";
    const int rc = netConnect(c, addr);
    ASSERT_TRUE(rc == 0 || rc == -WSAEWOULDBLOCK) << rc;
    if (rc == -WSAEWOULDBLOCK) {
        EXPECT_EQ(-WSAEALREADY, netConnect(c, addr)) << "nobody has looked: still connecting";
    }
    const NetworkEvents e = nextEvents(*ev, c);
    EXPECT_EQ(FD_CONNECT | FD_WRITE, e.lNetworkEvents);
    EXPECT_EQ(0, e.iErrorCode[FD_CONNECT_BIT]);
    EXPECT_TRUE(quiet(*ev));
    EXPECT_EQ(-WSAEISCONN, netConnect(c, addr));
    EXPECT_EQ(-WSAEISCONN, netConnect(c, addr));
    EXPECT_TRUE(quiet(*ev, 50)) << "a refused second connect reports no event";

    const int s = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(s, 0);
    writeAll(s, "hi");
    EXPECT_EQ(FD_READ, nextEvents(*ev, c).lNetworkEvents);
    ::close(s);
    ::close(l);
    netClose(c);
}

TEST(NetEventsConnect, RefusedIsTheConnectEventWith10061Alone) {
    auto ev = makeEvent();
    const sockaddr_in addr = closedPort();
    const int c = netSocket();
    ASSERT_EQ(0, ev->select(c, FD_ALL_EVENTS));
    const int rc = netConnect(c, addr);
    if (rc == -WSAEWOULDBLOCK) {
        const NetworkEvents e = nextEvents(*ev, c);
        EXPECT_EQ(FD_CONNECT, e.lNetworkEvents);
        EXPECT_EQ(WSAECONNREFUSED, e.iErrorCode[FD_CONNECT_BIT]);
    } else {
        EXPECT_EQ(-WSAECONNREFUSED, rc);  // refused at once: told here only
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, ev->select(c, FD_ALL_EVENTS));
        EXPECT_TRUE(quiet(*ev, 50));
    }
    netClose(c);
}

TEST(NetEventsConnect, OutcomeBeforeTheFirstSelectionIsStillReported) {
    auto ev = makeEvent();
    sockaddr_in addr{};
    const int l = listener(addr);
    const int ok = netSocket();
    const int refused = netSocket();
    const sockaddr_in nobody = closedPort();
    const int rcOk = netConnect(ok, addr);
    const int rcRefused = netConnect(refused, nobody);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // both outcomes are in
    ASSERT_EQ(0, ev->select(ok, FD_ALL_EVENTS));
    ASSERT_EQ(0, ev->select(refused, FD_ALL_EVENTS));
    ASSERT_TRUE(pass(*ev, 2000));
    NetworkEvents e;
    ASSERT_EQ(0, enumNetworkEvents(ok, e));
    if (rcOk == 0 || rcOk == -WSAEWOULDBLOCK) {
        EXPECT_EQ(FD_CONNECT | FD_WRITE, e.lNetworkEvents);
        EXPECT_EQ(0, e.iErrorCode[FD_CONNECT_BIT]);
    }
    ASSERT_EQ(0, enumNetworkEvents(refused, e));
    if (rcRefused == -WSAEWOULDBLOCK) {
        EXPECT_EQ(FD_CONNECT, e.lNetworkEvents);
        EXPECT_EQ(WSAECONNREFUSED, e.iErrorCode[FD_CONNECT_BIT]);
    } else {
        EXPECT_EQ(-WSAECONNREFUSED, rcRefused);
        EXPECT_EQ(0, e.lNetworkEvents);
    }
    netClose(ok);
    netClose(refused);
    ::close(l);
}

// --- accept ------------------------------------------------------------------

TEST(NetEventsAccept, ReportedAgainWhileConnectionsAreQueued) {
    auto ev = makeEvent();
    const int l = netSocket();
    sockaddr_in addr = loopback(0);
    ASSERT_EQ(0, ::bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    socklen_t len = sizeof addr;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_EQ(0, ev->select(l, FD_ALL_EVENTS));
    ASSERT_EQ(0, netListen(l, 16));
    EXPECT_TRUE(quiet(*ev, 50));

    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        clients.push_back(c);
    }
    const NetworkEvents first = nextEvents(*ev, l);
    EXPECT_EQ(FD_ACCEPT, first.lNetworkEvents);
    EXPECT_EQ(0, first.iErrorCode[FD_ACCEPT_BIT]);
    std::vector<int> accepted;
    for (int i = 0; i < 3; ++i) {
        sockaddr_in peer{};
        const int s = netAccept(l, &peer);
        ASSERT_GE(s, 0);
        EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.sin_addr.s_addr);
        EXPECT_NE(0, ::fcntl(s, F_GETFL) & O_NONBLOCK);
        accepted.push_back(s);
        if (i < 2) {
            EXPECT_EQ(FD_ACCEPT, nextEvents(*ev, l).lNetworkEvents) << "still queued after " << i;
        }
    }
    EXPECT_TRUE(quiet(*ev)) << "the queue is empty";
    EXPECT_EQ(-WSAEWOULDBLOCK, netAccept(l, nullptr));

    // Not accepted, not reported twice.
    for (int i = 0; i < 2; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(0, ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        clients.push_back(c);
        if (i == 0) {
            EXPECT_EQ(FD_ACCEPT, nextEvents(*ev, l).lNetworkEvents);
        } else {
            EXPECT_TRUE(quiet(*ev));
        }
    }
    // An accepted handle is connected: selected, it is writable once.
    selectConnected(*ev, accepted[0]);
    for (int c : clients) ::close(c);
    for (int s : accepted) netClose(s);
    netClose(l);
}

// --- write ---------------------------------------------------------------------

TEST(NetEventsWrite, ReportedAfterASendThatWouldBlockOnceRoomIsBack) {
    auto ev = makeEvent();
    TcpPair p;
    selectConnected(*ev, p.server);
    std::vector<char> chunk(64 * 1024, 'w');
    size_t sent = 0;
    bool blocked = false;
    for (int i = 0; i < 2000 && !blocked; ++i) {
        const ssize_t n = netSend(p.server, chunk.data(), chunk.size());
        if (n == -WSAEWOULDBLOCK) blocked = true;
        else ASSERT_GT(n, 0);
        if (n > 0) sent += static_cast<size_t>(n);
    }
    ASSERT_TRUE(blocked);
    EXPECT_TRUE(quiet(*ev)) << "full: no write event";
    // The peer takes everything; room comes back.
    std::vector<char> sink(256 * 1024);
    size_t got = 0;
    for (int i = 0; i < 10000 && got < sent; ++i) {
        const ssize_t n = ::recv(p.client, sink.data(), sink.size(), 0);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    ASSERT_EQ(sent, got);
    EXPECT_EQ(FD_WRITE, nextEvents(*ev, p.server).lNetworkEvents);
    EXPECT_TRUE(quiet(*ev)) << "reported once";
    EXPECT_EQ(3, netSend(p.server, "abc", 3));
    EXPECT_TRUE(quiet(*ev, 50)) << "a send that went through re-enables nothing";
}

TEST(NetEventsWrite, SendToAClosedPeerFailsWithoutSigpipe) {
    TcpPair p;
    ASSERT_EQ(0, netClose(p.client));
    p.client = -1;
    ssize_t n = 0;
    // The first send may still be accepted before the peer's reset is back.
    for (int i = 0; i < 50 && n >= 0; ++i) {
        n = netSend(p.server, "x", 1);
        if (n >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(-WSAECONNRESET, n);
}

// --- the reactor's wait ------------------------------------------------------------

TEST(NetEventsWait, TwoObjectsWhateverTheNumberOfSockets) {
    Event wake;
    auto ev = makeEvent();
    std::vector<std::unique_ptr<UnixPair>> pairs;
    for (int i = 0; i < 10; ++i) {
        pairs.push_back(std::make_unique<UnixPair>());
        ASSERT_EQ(0, ev->select(pairs.back()->a, FD_ALL_EVENTS));
    }
    Waitable* objects[] = {&wake, ev.get()};
    ASSERT_EQ(kWaitObject0 + 1, waitAny(objects, 2000));
    ev->reset();
    for (auto& p : pairs) {
        NetworkEvents e;
        enumNetworkEvents(p->a, e);
        EXPECT_EQ(FD_WRITE, e.lNetworkEvents);
    }
    EXPECT_EQ(kWaitTimeout, waitAny(objects, 50));
    wake.set();
    EXPECT_EQ(kWaitObject0, waitAny(objects, 2000));
    writeAll(pairs[7]->b, "z");
    ASSERT_EQ(kWaitObject0 + 1, waitAny(objects, 2000));
    // Manual reset: still signalled until reset.
    EXPECT_EQ(kWaitObject0 + 1, waitAny(objects, 0));
    ev->reset();
    NetworkEvents e;
    enumNetworkEvents(pairs[7]->a, e);
    EXPECT_EQ(FD_READ, e.lNetworkEvents);
    enumNetworkEvents(pairs[6]->a, e);
    EXPECT_EQ(0, e.lNetworkEvents);
    EXPECT_EQ(kWaitTimeout, waitAny(objects, 50));
}

TEST(NetEventsWait, IdleSocketsCostNoCpu) {
    Event wake;
    auto ev = makeEvent();
    std::vector<std::unique_ptr<TcpPair>> pairs;
    for (int i = 0; i < 100; ++i) {
        pairs.push_back(std::make_unique<TcpPair>());
        ASSERT_EQ(0, ev->select(pairs.back()->server, FD_ALL_EVENTS));
    }
    // One of them closed by its peer, one reset: both stay ready for ever in
    // the kernel's eyes.
    linger hard{1, 0};
    ::setsockopt(pairs[1]->client, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    netClose(pairs[0]->client);
    pairs[0]->client = -1;
    netClose(pairs[1]->client);
    pairs[1]->client = -1;
    Waitable* objects[] = {&wake, ev.get()};
    // Take what is reported at first: a write event each, and the closes.
    long seen = 0;
    for (int round = 0; round < 20; ++round) {
        if (waitAny(objects, 200) != kWaitObject0 + 1) break;
        ev->reset();
        for (auto& p : pairs) {
            NetworkEvents e;
            enumNetworkEvents(p->server, e);
            seen |= e.lNetworkEvents;
        }
    }
    EXPECT_EQ(FD_WRITE | FD_CLOSE, seen);

    const double cpuBefore = cpuSecondsOfThisThread();
    const auto start = std::chrono::steady_clock::now();
    int wakeUps = 0;
    int passes = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(1) && passes < 1000) {
        ++passes;
        for (auto& p : pairs) ev->select(p->server, FD_ALL_EVENTS);  // as the reactor does
        if (waitAny(objects, 100) != kWaitTimeout) {
            ++wakeUps;
            ev->reset();
        }
    }
    const double cpu = cpuSecondsOfThisThread() - cpuBefore;
    EXPECT_EQ(0, wakeUps);
    EXPECT_LE(passes, 12) << "every wait should last its full time-out";
    EXPECT_LT(cpu, 0.2) << "a spinning wait burns the whole second";
}

// --- threads -------------------------------------------------------------------

TEST(NetEventsThreads, LoopsOnSeveralThreadsShareTheLayer) {
    // Each thread runs its own event and pair, as two reactors would, while
    // this thread makes and closes handles and events beside them.
    constexpr int kRounds = 200;
    std::atomic<int> failures{0};
    auto loop = [&failures] {
        auto ev = SocketEvent::create();
        UnixPair p;
        if (!ev || ev->select(p.a, FD_ALL_EVENTS) != 0) {
            ++failures;
            return;
        }
        nextEvents(*ev, p.a);  // the first write event
        char buf[8];
        for (int i = 0; i < kRounds; ++i) {
            if (::send(p.b, "m", 1, MSG_NOSIGNAL) != 1) ++failures;
            const NetworkEvents e = nextEvents(*ev, p.a);
            if (e.lNetworkEvents != FD_READ) ++failures;
            if (netRecv(p.a, buf, sizeof buf) != 1) ++failures;
        }
    };
    std::thread t1(loop);
    std::thread t2(loop);
    for (int i = 0; i < kRounds; ++i) {
        auto ev = SocketEvent::create();
        const int s = netSocket();
        if (ev) ev->select(s, FD_ALL_EVENTS);
        netClose(s);
    }
    t1.join();
    t2.join();
    EXPECT_EQ(0, failures.load());
}
