#pragma once

// Plain blocking peers, a running reactor and bounded waits for the socket
// tests. Every wait has a time-out; every peer is on loopback.

#include "../support/TestSupport.h"
#include "tarn/Reactor.h"
#include "tarn/platform/NetEvents.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace socktest {

constexpr int kWaitMs = 5000;

/// A reactor whose loop runs for the life of the object.
struct RunningReactor {
    tarn::Reactor reactor;
    RunningReactor() { EXPECT_EQ(0, reactor.start()); }
    ~RunningReactor() { reactor.stop(); }
    tarn::Reactor* operator->() { return &reactor; }
    tarn::Reactor* get() { return &reactor; }
};

/// testsupport::eventually with this tree's default wait.
template <typename Pred>
bool eventually(Pred done, int ms = kWaitMs) {
    return testsupport::eventually(done, ms);
}

using testsupport::loopback;

/// Closes a plain handle through the network-event layer, so a number the
/// layer has seen before never keeps a stale record.
inline void closeFd(int& fd) {
    if (fd >= 0) tarn::platform::netClose(fd);
    fd = -1;
}

/// A blocking listener on 127.0.0.1 and an ephemeral port.
inline int plainListener(uint16_t& port, int backlog = 64) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(0);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, backlog) != 0) {
        ADD_FAILURE() << "cannot listen on loopback";
        return -1;
    }
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return s;
}

/// A blocking client connected to 127.0.0.1:port; receiveBuffer > 0 sets
/// SO_RCVBUF first (a slow reader).
inline int plainConnect(uint16_t port, int receiveBuffer = 0) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in addr = loopback(port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ADD_FAILURE() << "cannot connect to port " << port;
        ::close(s);
        return -1;
    }
    return s;
}

/// Waits up to ms for fd to poll with `events`.
inline bool readyWithin(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return ::poll(&p, 1, ms) == 1;
}

/// Accepts one connection within ms, or -1. The new handle is blocking
/// unless asked otherwise.
inline int acceptWithin(int listener, int ms = kWaitMs, bool nonBlocking = false) {
    if (!readyWithin(listener, POLLIN, ms)) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
}

/// Reads exactly n bytes, waiting at most ms in all.
inline bool recvExact(int fd, void* buffer, size_t n, int ms = kWaitMs) {
    auto* p = static_cast<char*>(buffer);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    size_t got = 0;
    while (got < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readyWithin(fd, POLLIN, static_cast<int>(left.count()))) return false;
        const ssize_t r = ::recv(fd, p + got, n - got, MSG_DONTWAIT);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

inline bool sendAll(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
inline bool sendAll(int fd, const std::string& s) { return sendAll(fd, s.data(), s.size()); }

/// The 4-byte big-endian prefix of a frame.
inline std::string prefix(uint32_t length) {
    const uint32_t word = htonl(length);
    return std::string(reinterpret_cast<const char*>(&word), 4);
}
inline std::string frame(const std::string& body) { return prefix(static_cast<uint32_t>(body.size())) + body; }

/// Reads one frame from a plain peer; false on time-out or close.
inline bool recvFrame(int fd, std::string& body, int ms = kWaitMs) {
    uint32_t word = 0;
    if (!recvExact(fd, &word, 4, ms)) return false;
    body.assign(ntohl(word), '\0');
    return body.empty() || recvExact(fd, body.data(), body.size(), ms);
}

/// True when the peer's end reports end of stream or reset within ms.
inline bool peerSeesClose(int fd, int ms = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char sink[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readyWithin(fd, POLLIN, static_cast<int>(left.count()))) return false;
        const ssize_t r = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
}

/// Closes with a reset (SO_LINGER 0).
inline void resetClose(int& fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    closeFd(fd);
}

/// Open descriptors of this process.
inline int openDescriptors() {
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (::readdir(d) != nullptr) ++n;
    ::closedir(d);
    return n;
}

/// A body whose bytes depend on a seed and their position.
inline std::string pattern(int seed, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 131 + i * 7 + (i >> 8)) & 0xFF);
    return s;
}

}  // namespace socktest
