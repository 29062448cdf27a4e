#include "Probes.h"

#include "tarn/ListeningSocket.h"
#include "tarn/platform/WinSockErrors.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <vector>

using namespace socktest;
using tarn::ConnectedSocket;
using tarn::InetAddr;
using tarn::ListeningSocket;
using tarn::TarnString;

namespace {

std::atomic<int> gLiveEchoes{0};

// Sends every message back; ends itself when the peer goes.
class EchoSocket : public ConnectedSocket {
public:
    EchoSocket(tarn::SocketHandle handle, const InetAddr& peer) : ConnectedSocket(handle, peer) { ++gLiveEchoes; }
    ~EchoSocket() override { --gLiveEchoes; }
    void onMessage(const char* data, int length) override { sendMessage(data, length); }
};

// Refuses the connections whose number is listed, echoes the others.
class Handler : public tarn::AcceptHandler {
public:
    explicit Handler(tarn::Reactor* reactor, std::vector<int> refuse = {})
        : reactor_(reactor), refuse_(std::move(refuse)) {}
    int onAccept(tarn::SocketHandle handle, const InetAddr& peer) override {
        const int n = accepted++;
        {
            std::lock_guard<std::mutex> g(m);
            peers.push_back(peer);
        }
        for (int r : refuse_)
            if (r == n) return 0;
        auto* s = new EchoSocket(handle, peer);
        s->attach(reactor_);  // on the reactor thread: takes effect at once
        return 1;
    }
    std::atomic<int> accepted{0};
    std::mutex m;
    std::vector<InetAddr> peers;

private:
    tarn::Reactor* reactor_;
    std::vector<int> refuse_;
};

class ListenerProbe : public ListeningSocket {
public:
    using ListeningSocket::dispatchEvents;
    using ListeningSocket::ListeningSocket;
};

uint16_t freePort() {
    uint16_t port = 0;
    int l = plainListener(port);
    closeFd(l);
    return port;
}

bool echoes(int fd, const std::string& body) {
    std::string got;
    return sendAll(fd, frame(body)) && recvFrame(fd, got) && got == body;
}

uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Lowers the descriptor limit to what is open now and fills every free number
// below it, so the next descriptor the process asks for fails with EMFILE.
// Everything is given back on destruction.
class DescriptorsExhausted {
public:
    DescriptorsExhausted() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (int fd = 0; fd < 4096; ++fd) {
            if (::fcntl(fd, F_GETFD) != -1) highest = fd;
        }
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(highest + 1);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
        for (int i = 0; i < 4096; ++i) {
            const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) break;
            fillers_.push_back(fd);
        }
    }
    ~DescriptorsExhausted() {
        for (int fd : fillers_) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

}  // namespace

// Starts a reactor for the scope; declared after the sockets it serves, so it
// stops before they go.
struct Running {
    tarn::Reactor& reactor;
    explicit Running(tarn::Reactor& r) : reactor(r) { EXPECT_EQ(0, reactor.start()); }
    ~Running() { reactor.stop(); }
};

TEST(ListeningSocket, RefusedConnectionIsClosedAndListeningGoesOn) {
    tarn::Reactor reactor;
    Handler handler(&reactor, {0});
    ListeningSocket listener(InetAddr(TarnString("127.0.0.1"), 0), &handler);
    ASSERT_EQ(0, listener.listen(5));
    const uint16_t port = static_cast<uint16_t>(listener.getBoundPort());
    Running run(reactor);
    ASSERT_EQ(0, listener.attach(&reactor));

    int refused = plainConnect(port);
    EXPECT_TRUE(peerSeesClose(refused)) << "closed at once";
    int taken = plainConnect(port);
    EXPECT_TRUE(echoes(taken, "served"));
    EXPECT_EQ(2, handler.accepted.load());
    closeFd(refused);
    closeFd(taken);
    EXPECT_TRUE(eventually([] { return gLiveEchoes.load() == 0; }));
}

TEST(ListeningSocket, StarAcceptsOnLoopbackAndNamesThePeer) {
    tarn::Reactor reactor;
    Handler handler(&reactor);
    const InetAddr any(TarnString("*"), 0);
    EXPECT_EQ(0u, any.getAddress());
    ListeningSocket listener(any, &handler);
    ASSERT_EQ(0, listener.listen(5));
    Running run(reactor);
    ASSERT_EQ(0, listener.attach(&reactor));

    int client = plainConnect(static_cast<uint16_t>(listener.getBoundPort()));
    EXPECT_TRUE(echoes(client, "via 127.0.0.1"));
    {
        std::lock_guard<std::mutex> g(handler.m);
        ASSERT_EQ(1u, handler.peers.size());
        EXPECT_EQ("127.0.0.1", handler.peers[0].toString());
        EXPECT_EQ(localPort(client), handler.peers[0].getPort());
    }
    closeFd(client);
    EXPECT_TRUE(eventually([] { return gLiveEchoes.load() == 0; }));
}

TEST(ListeningSocket, ListenReportsTheFailingStepAndCanBindAgain) {
    uint16_t port = 0;
    int occupant = plainListener(port);
    ListeningSocket listener(InetAddr(TarnString("127.0.0.1"), port), nullptr);
    EXPECT_EQ(-tarn::platform::WSAEADDRINUSE, listener.listen(5));
    EXPECT_GE(listener.getSocket(), 0) << "the handle stays open";
    closeFd(occupant);
    EXPECT_EQ(0, listener.listen(5));
    EXPECT_EQ(port, listener.getBoundPort());

    ListeningSocket badPort(InetAddr(TarnString("127.0.0.1"), 70000), nullptr);
    EXPECT_EQ(-tarn::platform::WSAEADDRNOTAVAIL, badPort.listen(5));
}

TEST(ListeningSocket, RestartedServerBindsAtOnce) {
    // A connection closed by the server first leaves the port in TIME_WAIT.
    tarn::Reactor reactor;
    Handler handler(&reactor, {0});
    const uint16_t port = freePort();
    auto first = std::make_unique<ListeningSocket>(InetAddr(TarnString("127.0.0.1"), port), &handler);
    ASSERT_EQ(0, first->listen(5));
    {
        Running run(reactor);
        ASSERT_EQ(0, first->attach(&reactor));
        int client = plainConnect(port);
        EXPECT_TRUE(peerSeesClose(client));  // refused: the server closed first
        closeFd(client);
        first->detach();
    }
    first.reset();
    ListeningSocket second(InetAddr(TarnString("127.0.0.1"), port), &handler);
    EXPECT_EQ(0, second.listen(5));
}

TEST(ListeningSocket, AThousandConnectionsLeakNoHandle) {
    tarn::Reactor reactor;
    Handler handler(&reactor);
    ListeningSocket listener(InetAddr(TarnString("127.0.0.1"), 0), &handler);
    ASSERT_EQ(0, listener.listen(64));
    const uint16_t port = static_cast<uint16_t>(listener.getBoundPort());
    Running run(reactor);
    ASSERT_EQ(0, listener.attach(&reactor));
    // Warm up once, so lazily made process state is not counted as a leak.
    {
        int c = plainConnect(port);
        EXPECT_TRUE(echoes(c, "warm"));
        closeFd(c);
        ASSERT_TRUE(eventually([] { return gLiveEchoes.load() == 0; }));
    }
    const int before = openDescriptors();
    for (int i = 0; i < 1000; ++i) {
        int c = plainConnect(port);
        ASSERT_GE(c, 0) << i;
        ASSERT_TRUE(echoes(c, "n" + std::to_string(i))) << i;
        if (i % 3 == 0) {
            resetClose(c);
        } else {
            closeFd(c);
        }
    }
    EXPECT_EQ(1001, handler.accepted.load());
    ASSERT_TRUE(eventually([] { return gLiveEchoes.load() == 0; })) << gLiveEchoes.load() << " still open";
    EXPECT_EQ(before, openDescriptors());
}

TEST(ListeningSocket, AcceptErrorRecreatesTheListeningHandle) {
    tarn::Reactor reactor;
    Handler handler(&reactor);
    const uint16_t port = freePort();
    ListenerProbe listener(InetAddr(TarnString("127.0.0.1"), port), &handler);
    ASSERT_EQ(0, listener.listen(5));
    const tarn::SocketHandle old = listener.getSocket();
    tarn::platform::NetworkEvents events;
    events.lNetworkEvents = tarn::platform::FD_ACCEPT;
    events.iErrorCode[tarn::platform::FD_ACCEPT_BIT] = tarn::platform::WSAENETDOWN;
    listener.dispatchEvents(events);
    EXPECT_NE(old, listener.getSocket());
    EXPECT_EQ(port, listener.getBoundPort()) << "bound and listening again";
    EXPECT_EQ(0, handler.accepted.load());

    Running run(reactor);
    ASSERT_EQ(0, listener.attach(&reactor));
    int client = plainConnect(port);
    EXPECT_TRUE(echoes(client, "new handle"));
    closeFd(client);
    EXPECT_TRUE(eventually([] { return gLiveEchoes.load() == 0; }));
}

TEST(ListeningSocket, OutOfDescriptorsBacksOffAndAcceptsLater) {
    tarn::Reactor reactor;
    Handler handler(&reactor, {0, 1});
    ListeningSocket listener(InetAddr(TarnString("127.0.0.1"), 0), &handler);
    ASSERT_EQ(0, listener.listen(5));
    const uint16_t port = static_cast<uint16_t>(listener.getBoundPort());
    Running run(reactor);
    ASSERT_EQ(0, listener.attach(&reactor));
    const sockaddr_in to = loopback(port);
    // A first connection runs every call of the accept path while descriptors
    // are plentiful: UBSan checks a type the first time it meets it, and that
    // check needs free descriptors.
    int first = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(first, 0);
    ASSERT_EQ(0, ::connect(first, reinterpret_cast<const sockaddr*>(&to), sizeof to));
    ASSERT_TRUE(eventually([&] { return handler.accepted.load() == 1; }));
    EXPECT_TRUE(peerSeesClose(first));
    closeFd(first);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    {
        DescriptorsExhausted exhausted;
        // The kernel completes the connection; the accept fails for want of a descriptor.
        ASSERT_EQ(0, ::connect(client, reinterpret_cast<const sockaddr*>(&to), sizeof to));
        // Descriptors come back as soon as the failed accept has scheduled
        // its retry, so the retry task runs with descriptors to spare.
        EXPECT_TRUE(eventually([&] { return listener.isAcceptRetryPending(); }));
        EXPECT_EQ(1, handler.accepted.load());
    }
    // No new connection comes: only the retry can find the queued one.
    EXPECT_TRUE(eventually([&] { return handler.accepted.load() == 2; }));
    EXPECT_TRUE(peerSeesClose(client)) << "refused by the handler, so closed";
    closeFd(client);
}
