#include "tarn/platform/WinSockErrors.h"

#include "NetTestUtil.h"
#include "tarn/platform/NetEvents.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>

using namespace tarn::platform;
using namespace nettest;

TEST(WinSockErrors, TheNumbersCallersRelyOn) {
    EXPECT_EQ(0, wsaErrorFromErrno(0));
    EXPECT_EQ(10035, wsaErrorFromErrno(EAGAIN));
    EXPECT_EQ(10035, wsaErrorFromErrno(EWOULDBLOCK));
    EXPECT_EQ(10035, wsaErrorFromErrno(EINPROGRESS));
    EXPECT_EQ(10053, wsaErrorFromErrno(ECONNABORTED));
    EXPECT_EQ(10054, wsaErrorFromErrno(ECONNRESET));
    EXPECT_EQ(10054, wsaErrorFromErrno(EPIPE));
    EXPECT_EQ(10057, wsaErrorFromErrno(ENOTCONN));
    EXPECT_EQ(10060, wsaErrorFromErrno(ETIMEDOUT));
    EXPECT_EQ(10061, wsaErrorFromErrno(ECONNREFUSED));
    EXPECT_EQ(10065, wsaErrorFromErrno(EHOSTUNREACH));
    EXPECT_EQ(10040, wsaErrorFromErrno(EMSGSIZE));
    EXPECT_EQ(10048, wsaErrorFromErrno(EADDRINUSE));
    EXPECT_EQ(10049, wsaErrorFromErrno(EADDRNOTAVAIL));
    EXPECT_EQ(10051, wsaErrorFromErrno(ENETUNREACH));
    EXPECT_EQ(10022, wsaErrorFromErrno(EINVAL));
    EXPECT_EQ(10038, wsaErrorFromErrno(EBADF));
    EXPECT_EQ(10038, wsaErrorFromErrno(ENOTSOCK));
    EXPECT_EQ(10024, wsaErrorFromErrno(EMFILE));
    EXPECT_EQ(10056, wsaErrorFromErrno(EISCONN));
}

TEST(WinSockErrors, AnythingElseIsTheCatchAll) {
    EXPECT_EQ(10107, kWsaCatchAll);
    EXPECT_EQ(kWsaCatchAll, wsaErrorFromErrno(ENOENT));
    EXPECT_EQ(kWsaCatchAll, wsaErrorFromErrno(EDOM));
    EXPECT_EQ(kWsaCatchAll, wsaErrorFromErrno(123456));
    EXPECT_EQ(kWsaCatchAll, wsaErrorFromErrno(-1));
    errno = EADDRINUSE;
    EXPECT_EQ(WSAEADDRINUSE, wsaLastError());
}

// The wrappers report what real calls fail with, mapped and negated.
TEST(WinSockErrors, RealFailuresComeBackNegated) {
    UnixPair p;
    char buf[4];
    ::fcntl(p.a, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(-WSAEWOULDBLOCK, netRecv(p.a, buf, sizeof buf));

    sockaddr_in addr{};
    const int l = listener(addr);
    const int second = netSocket();
    EXPECT_NE(0, ::bind(second, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    EXPECT_EQ(WSAEADDRINUSE, wsaLastError());
    ::close(l);
    netClose(second);

    const int unconnected = netSocket();
    EXPECT_EQ(-WSAENOTCONN, netSend(unconnected, "x", 1));
    EXPECT_EQ(-WSAENOTCONN, netShutdown(unconnected, SHUT_WR));
    EXPECT_EQ(0, netClose(unconnected));
    EXPECT_EQ(-WSAENOTSOCK, netClose(unconnected)) << "closed twice";
    EXPECT_EQ(-WSAENOTSOCK, netClose(-1));
}
