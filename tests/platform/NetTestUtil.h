#pragma once

// Loopback helpers shared by the network-event tests.

#include "../support/TestSupport.h"
#include "tarn/platform/NetEvents.h"
#include "tarn/platform/Waitable.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace nettest {

using namespace tarn::platform;

using testsupport::loopback;

/// A blocking listener on 127.0.0.1 and an ephemeral port; `addr` gets it.
inline int listener(sockaddr_in& addr, int backlog = 16) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr = loopback(0);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, backlog) != 0) {
        ADD_FAILURE() << "cannot listen on loopback";
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    return s;
}

/// A loopback port with nobody listening on it.
inline sockaddr_in closedPort() {
    sockaddr_in addr{};
    const int s = listener(addr);
    ::close(s);
    return addr;
}

/// A connected loopback TCP pair, both ends blocking, closed with netClose.
struct TcpPair {
    int client = -1;
    int server = -1;
    TcpPair() {
        sockaddr_in addr{};
        const int l = listener(addr);
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ADD_FAILURE() << "connect";
        server = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(l);
    }
    ~TcpPair() {
        if (client >= 0) netClose(client);
        if (server >= 0) netClose(server);
    }
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
};

/// A connected AF_UNIX stream pair, closed with netClose.
struct UnixPair {
    int a = -1;
    int b = -1;
    UnixPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) ADD_FAILURE() << "socketpair";
        a = fds[0];
        b = fds[1];
    }
    ~UnixPair() {
        if (a >= 0) netClose(a);
        if (b >= 0) netClose(b);
    }
    UnixPair(const UnixPair&) = delete;
    UnixPair& operator=(const UnixPair&) = delete;
};

/// One pass as the reactor makes it: wait on the event, reset it. False when
/// the wait timed out.
inline bool pass(SocketEvent& ev, uint32_t ms) {
    Waitable* objects[] = {&ev};
    if (waitAny(objects, ms) != kWaitObject0) return false;
    ev.reset();
    return true;
}

/// The events of `fd` reported by the next pass within `ms` (none when the
/// wait timed out).
inline NetworkEvents nextEvents(SocketEvent& ev, int fd, uint32_t ms = 2000) {
    NetworkEvents out;
    if (pass(ev, ms)) {
        EXPECT_EQ(0, enumNetworkEvents(fd, out));
    }
    return out;
}

/// True when nothing is reported within `ms`: the handle stays quiet.
inline bool quiet(SocketEvent& ev, uint32_t ms = 100) { return !pass(ev, ms); }

}  // namespace nettest
