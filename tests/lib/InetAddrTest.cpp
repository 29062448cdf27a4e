#include "tarn/InetAddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <thread>
#include <vector>

using tarn::InetAddr;
using tarn::TarnString;

TEST(InetAddr, StarIsAnyAddressAndThePortIsKeptInNetworkOrder) {
    const InetAddr a(TarnString("*"), 21);
    EXPECT_EQ(0u, a.getAddress());
    EXPECT_EQ(0u, a.getConnectAddress());
    EXPECT_EQ(21, a.getPort());
    EXPECT_EQ(htons(21), a.getNetworkPort());
    uint8_t bytes[2];
    const uint16_t stored = a.getNetworkPort();
    std::memcpy(bytes, &stored, 2);
    EXPECT_EQ(0, bytes[0]);  // network order in memory: high byte first
    EXPECT_EQ(21, bytes[1]);
    EXPECT_STREQ("0.0.0.0", a.toString().c_str());
}

TEST(InetAddr, DottedTextIsTheAddress) {
    const InetAddr a(TarnString("10.1.2.3"), 80);
    EXPECT_EQ(inet_addr("10.1.2.3"), a.getAddress());
    EXPECT_EQ(a.getAddress(), a.getConnectAddress());
    EXPECT_STREQ("10.1.2.3", a.toString().c_str());
    // The short forms inet_addr knows.
    EXPECT_STREQ("10.0.0.1", InetAddr(TarnString("10.1"), 80).toString().c_str());
    EXPECT_STREQ("127.0.0.1", InetAddr(TarnString("127.1"), 80).toString().c_str());
}

TEST(InetAddr, HostNamesAreResolvedAndFailuresGiveZero) {
    const InetAddr local(TarnString("localhost"), 7000);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), local.getAddress());
    EXPECT_EQ(local.getAddress(), local.getConnectAddress());
    const InetAddr nowhere(TarnString("no-such-host.invalid"), 7000);
    EXPECT_EQ(0u, nowhere.getAddress());
    EXPECT_EQ(0u, nowhere.getConnectAddress());
    EXPECT_STREQ("0.0.0.0", nowhere.toString().c_str());
    EXPECT_EQ(0u, InetAddr(TarnString(""), 1).getAddress());
}

TEST(InetAddr, DigitLedTextThatIsNoAddressReadsAsAllOnesButConnectsByName) {
    const InetAddr a(TarnString("1.2.3.4.5"), 80);
    EXPECT_EQ(INADDR_NONE, a.getAddress());
    EXPECT_STREQ("255.255.255.255", a.toString().c_str());
    // Resolved as a host name for connecting; this one resolves to nothing,
    // so connecting must refuse it.
    EXPECT_EQ(0u, a.getConnectAddress());
    EXPECT_EQ(0u, InetAddr(TarnString("3com.invalid"), 80).getConnectAddress());
    // The all-ones address written out is valid and stays what it is.
    const InetAddr broadcast(TarnString("255.255.255.255"), 80);
    EXPECT_EQ(INADDR_NONE, broadcast.getAddress());
    EXPECT_EQ(INADDR_NONE, broadcast.getConnectAddress());
}

TEST(InetAddr, NumberCopyAndEquality) {
    const InetAddr n(htonl(0x7F000001), 8080);
    EXPECT_STREQ("127.0.0.1", n.toString().c_str());
    EXPECT_EQ(8080, n.getPort());
    const InetAddr same(TarnString("127.0.0.1"), 8080);
    EXPECT_TRUE(n == same);
    EXPECT_FALSE(n == InetAddr(TarnString("127.0.0.1"), 8081)) << "same address, other port";
    EXPECT_FALSE(n == InetAddr(TarnString("127.0.0.2"), 8080));
    InetAddr copy(n);
    EXPECT_TRUE(copy == n);
    copy = InetAddr(TarnString("1.x"), 9);
    EXPECT_EQ(INADDR_NONE, copy.getAddress());
    EXPECT_EQ(0u, copy.getConnectAddress()) << "the resolved address is copied too";
    EXPECT_EQ(9, copy.getPort());
}

TEST(InetAddr, PortsOutsideSixteenBitsAreMarked) {
    EXPECT_TRUE(InetAddr(0u, 0).isPortValid());
    EXPECT_TRUE(InetAddr(0u, 65535).isPortValid());
    const InetAddr over(0u, 65536);
    EXPECT_FALSE(over.isPortValid());
    EXPECT_EQ(0, over.getPort());
    EXPECT_FALSE(InetAddr(TarnString("*"), -1).isPortValid());
}

TEST(InetAddr, SocketAddressUsesTheConnectAddress) {
    sockaddr_in sa{};
    InetAddr(TarnString("127.0.0.1"), 4433).toSockAddr(sa);
    EXPECT_EQ(AF_INET, sa.sin_family);
    EXPECT_EQ(htons(4433), sa.sin_port);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), sa.sin_addr.s_addr);
    InetAddr(TarnString("9.invalid"), 1).toSockAddr(sa);
    EXPECT_EQ(0u, sa.sin_addr.s_addr);
}

TEST(InetAddr, ToStringOnSeveralThreadsAtOnce) {
    // inet_ntoa's shared buffer would mix the threads' texts.
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            const std::string expected = "10.0.0." + std::to_string(t + 1);
            const InetAddr a(TarnString(expected.c_str()), 1);
            for (int i = 0; i < 2000; ++i) {
                if (expected != a.toString().c_str()) ++wrong;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, wrong.load());
}
