#include "Probes.h"

#include "tarn/platform/WinSockErrors.h"

#include <gtest/gtest.h>

using namespace socktest;
using tarn::InetAddr;
using tarn::TarnString;

namespace {

InetAddr local(uint16_t port) { return InetAddr(TarnString("127.0.0.1"), port); }

uint16_t closedPort() {
    uint16_t port = 0;
    int l = plainListener(port);
    closeFd(l);
    return port;
}

}  // namespace

TEST(ClientSocket, ConnectWhileConnectingOrConnectedGivesMinusOne) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    uint16_t port = 0;
    int l = plainListener(port);
    // Not yet watched: no event can move it on between the two calls.
    EXPECT_EQ(0, client.connect(local(port)));
    EXPECT_TRUE(client.isConnecting());
    EXPECT_EQ(-1, client.connect(local(port)));

    ASSERT_EQ(0, client.attach(r.get()));
    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    EXPECT_FALSE(client.isConnecting());
    EXPECT_EQ((std::vector<std::string>{"connected"}), j.callList());
    EXPECT_EQ(-1, client.connect(local(port)));
    EXPECT_EQ(-1, client.connect(local(closedPort()))) << "refused before any connect is tried";
    EXPECT_TRUE(client.isConnected());

    int peer = acceptWithin(l);
    EXPECT_EQ(14, client.sendMessage("ping from 10", 10));
    std::string got;
    ASSERT_TRUE(recvFrame(peer, got));
    EXPECT_EQ("ping from ", got);
    client.detach();
    closeFd(peer);
    closeFd(l);
}

TEST(ClientSocket, RefusedConnectReachesOnErrorAndLeavesItReusable) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    ASSERT_EQ(0, client.attach(r.get()));
    const tarn::SocketHandle before = client.getSocket();
    ASSERT_EQ(0, client.connect(local(closedPort())));
    // The journal is written before the base close runs: wait for both.
    ASSERT_TRUE(eventually([&] { return j.callList().size() >= 2 && !client.isConnecting(); }));
    EXPECT_EQ((std::vector<std::string>{"error:-10061", "closed:0"}), j.callList());
    EXPECT_FALSE(j.isDestroyed()) << "a client socket never ends itself";
    EXPECT_NE(before, client.getSocket());

    uint16_t port = 0;
    int l = plainListener(port);
    EXPECT_EQ(0, client.connect(local(port)));
    EXPECT_TRUE(eventually([&] { return client.isConnected(); }));
    client.detach();
    closeFd(l);
}

TEST(ClientSocket, UnusableAddressesAreRefusedAndLeaveItIdle) {
    Journal j;
    ClientProbe client(j);
    uint16_t port = 0;
    int l = plainListener(port);
    // Address 0 would reach this machine on Linux; it means "not resolved".
    EXPECT_EQ(-tarn::platform::WSAEADDRNOTAVAIL, client.connect(InetAddr(0u, port)));
    EXPECT_EQ(-tarn::platform::WSAEADDRNOTAVAIL, client.connect(InetAddr(TarnString("*"), port)));
    EXPECT_EQ(-tarn::platform::WSAEADDRNOTAVAIL, client.connect(InetAddr(TarnString("127.0.0.1"), 70000)));
    EXPECT_EQ(-tarn::platform::WSAEADDRNOTAVAIL, client.connect(InetAddr(TarnString("127.0.0.1"), -1)));
    EXPECT_FALSE(client.isConnecting());
    EXPECT_EQ(0, client.connect(local(port)));
    int peer = acceptWithin(l);
    EXPECT_GE(peer, 0) << "the address was used as given";
    closeFd(peer);
    closeFd(l);
}

TEST(ClientSocket, ConnectFailingAtOnceLeavesItReusable) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    ASSERT_EQ(0, client.attach(r.get()));
    const tarn::SocketHandle before = client.getSocket();
    // No route to the broadcast address: refused by connect itself, no event follows.
    const int result = client.connect(InetAddr(TarnString("255.255.255.255"), 9));
    EXPECT_LT(result, -1);
    EXPECT_NE(-tarn::platform::WSAEWOULDBLOCK, result);
    EXPECT_FALSE(client.isConnecting());
    EXPECT_NE(before, client.getSocket()) << "replaced";

    uint16_t port = 0;
    int l = plainListener(port);
    EXPECT_EQ(0, client.connect(local(port)));
    EXPECT_TRUE(eventually([&] { return client.isConnected(); }));
    EXPECT_TRUE(j.callList() == std::vector<std::string>{"connected"}) << "the failure raised no event";
    client.detach();
    closeFd(l);
}

TEST(ClientSocket, AfterCloseTheHandleDiffersAndANewConnectionStartsClean) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    ASSERT_EQ(0, client.attach(r.get()));
    uint16_t port = 0;
    int l = plainListener(port);

    ASSERT_EQ(0, client.connect(local(port)));
    int peer = acceptWithin(l);
    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    // Half a frame, then the close: none of it may reach the next connection.
    const int reads = j.reads();
    ASSERT_TRUE(sendAll(peer, prefix(100) + std::string(10, 'o')));
    ASSERT_TRUE(eventually([&] { return j.reads() > reads; }));
    const tarn::SocketHandle old = client.getSocket();
    closeFd(peer);
    ASSERT_TRUE(eventually([&] { return !client.isConnected(); }));
    EXPECT_TRUE(j.hasCall("closed:1"));
    EXPECT_NE(old, client.getSocket());
    EXPECT_GE(client.getSocket(), 0);

    ASSERT_EQ(0, client.connect(local(port)));
    peer = acceptWithin(l);
    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    ASSERT_TRUE(sendAll(peer, frame("fresh")));
    ASSERT_TRUE(eventually([&] { return j.messageCount() == 1; }));
    EXPECT_EQ("fresh", j.with([&] { return j.messages[0]; }));
    EXPECT_EQ(9, client.sendMessage("again", 5));
    std::string got;
    ASSERT_TRUE(recvFrame(peer, got));
    EXPECT_EQ("again", got);
    client.detach();
    closeFd(peer);
    closeFd(l);
}

TEST(ClientSocket, CloseDropsQueuedFramesAndWriteBlocked) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    const int small = 4096;
    ::setsockopt(client.getSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(0, client.attach(r.get()));
    uint16_t port = 0;
    int l = plainListener(port);
    ASSERT_EQ(0, client.connect(local(port)));
    int peer = acceptWithin(l);
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));

    const std::string stale(16 * 1024, 's');
    for (int i = 0; i < 100 && !client.isWriteBlocked(); ++i) {
        ASSERT_GE(client.sendMessage(stale.data(), static_cast<int>(stale.size())), 0);
    }
    ASSERT_TRUE(client.isWriteBlocked());
    ASSERT_GT(client.queuedFrames(), 0);
    resetClose(peer);
    ASSERT_TRUE(eventually([&] { return !client.isConnected(); }));
    EXPECT_EQ(0, client.queuedFrames());
    EXPECT_FALSE(client.isWriteBlocked());

    ASSERT_EQ(0, client.connect(local(port)));
    peer = acceptWithin(l);
    ASSERT_TRUE(eventually([&] { return client.isConnected(); }));
    EXPECT_EQ(9, client.sendMessage("after", 5)) << "sent at once, not queued behind old frames";
    std::string got;
    ASSERT_TRUE(recvFrame(peer, got));
    EXPECT_EQ("after", got);
    client.detach();
    closeFd(peer);
    closeFd(l);
}

TEST(ClientSocket, ReconnectingLeaksNoHandles) {
    Journal j;
    ClientProbe client(j);
    RunningReactor r;  // stops before the client goes
    ASSERT_EQ(0, client.attach(r.get()));
    uint16_t port = 0;
    int l = plainListener(port);
    const int before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, client.connect(local(port))) << i;
        int peer = acceptWithin(l);
        ASSERT_GE(peer, 0) << i;
        ASSERT_TRUE(eventually([&] { return client.isConnected(); })) << i;
        if (i % 2 == 0) {
            closeFd(peer);
        } else {
            resetClose(peer);
        }
        ASSERT_TRUE(eventually([&] { return !client.isConnected(); })) << i;
    }
    EXPECT_EQ(before, openDescriptors());
    client.detach();
    closeFd(l);
}
