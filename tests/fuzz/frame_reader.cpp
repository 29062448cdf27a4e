// The frame reader of tarn::ConnectedSocket, fed over a real loopback TCP
// connection in chunks the input chooses. One reactor serves every input.
//
// The input is a list of operations, each led by one byte c:
//   0x00-0x7F  send the next (c & 0x7F) input bytes as one chunk
//   0x80-0xBF  send ((c & 0x3F) + 1) KiB of filler bytes as one chunk
//   0xC0-0xDF  send a whole frame of ((c & 0x1F) << 16 | next two bytes)
//              filler bytes, prefix included
//   0xE0-0xFF  pause (c & 0x1F) * 10 us, so the reader sees what came so far
// at most 512 KiB in all, then the sending side is shut. The outcome must be
// what the stream says: every frame up to the first bad prefix delivered
// whole, in order, with the receive buffer at max(its former capacity, the
// frame's length); zero-length frames consumed silently; a prefix above
// 16 MiB (or with the top bit set) ends the socket with -10040; otherwise the
// orderly end of the stream ends it with a graceful close.

#include "FuzzSupport.h"

#include "tarn/ConnectedSocket.h"
#include "tarn/InetAddr.h"
#include "tarn/Reactor.h"
#include "tarn/platform/NetEvents.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Bytes sent per input, at most: room for frames beyond the 64 KiB receive
// chunk, small enough for thousands of inputs a second.
constexpr size_t kMaxStream = 512u << 10;
constexpr int kMaxPauses = 4;
constexpr auto kWriteLimit = std::chrono::seconds(10);
constexpr auto kEndLimit = std::chrono::seconds(10);

// What the socket under test reported. Filled on the reactor thread, read by
// the input's thread once the socket has been deleted.
struct Journal {
    std::mutex m;
    std::condition_variable ended;
    std::vector<std::string> messages;
    std::vector<int> capacities;  // receive buffer capacity at each message
    std::vector<std::string> calls;
    bool destroyed = false;

    void clear() {
        std::lock_guard<std::mutex> g(m);
        messages.clear();
        capacities.clear();
        calls.clear();
        destroyed = false;
    }
};

class ProbeSocket : public tarn::ConnectedSocket {
public:
    ProbeSocket(Journal& j, int handle) : tarn::ConnectedSocket(handle, tarn::InetAddr(0u, 0)), j_(j) {}
    ~ProbeSocket() override {
        std::lock_guard<std::mutex> g(j_.m);
        j_.destroyed = true;
        j_.ended.notify_all();
    }
    void onMessage(const char* data, int length) override {
        const int capacity = receiveBuffer().capacity();
        std::lock_guard<std::mutex> g(j_.m);
        j_.messages.emplace_back(data, static_cast<size_t>(length));
        j_.capacities.push_back(capacity);
    }
    void onError(int code) override {
        record("error:" + std::to_string(code));
        tarn::ConnectedSocket::onError(code);
    }
    void onClosed(bool graceful) override {
        record(graceful ? "closed:1" : "closed:0");
        tarn::ConnectedSocket::onClosed(graceful);
    }

private:
    void record(const std::string& call) {
        std::lock_guard<std::mutex> g(j_.m);
        j_.calls.push_back(call);
    }
    Journal& j_;
};

// The reactor and a loopback listener for the life of the process.
struct Rig {
    tarn::Reactor reactor;
    int listener = -1;
    uint16_t port = 0;
    Journal journal;

    Rig() {
        FUZZ_CHECK(reactor.start() == 0);
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        FUZZ_CHECK(listener >= 0);
        FUZZ_CHECK(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        FUZZ_CHECK(::listen(listener, 16) == 0);
        FUZZ_CHECK(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) == 0);
        port = ntohs(a.sin_port);
    }
    ~Rig() {
        reactor.stop();
        if (listener >= 0) ::close(listener);
    }
};

Rig& rig() {
    static Rig r;
    return r;
}

// n filler bytes as they stand at stream position `at` onwards: a pattern
// made once, so that building a stream costs copies only.
void appendFiller(std::string& out, size_t at, size_t n) {
    static const std::string pattern = [] {
        std::string p(kMaxStream + 4, '\0');
        for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
        return p;
    }();
    at = std::min(at, pattern.size());
    out.append(pattern, at, std::min(n, pattern.size() - at));
}

std::string prefix(uint32_t length) {
    const uint32_t word = htonl(length);
    return std::string(reinterpret_cast<const char*>(&word), 4);
}

// One step of the sending side: a chunk to send, or a pause.
struct Step {
    std::string chunk;
    int pauseUs = -1;  // >= 0: a pause instead of a chunk
};

std::vector<Step> plan(const uint8_t* data, size_t size, std::string& stream) {
    fuzz::Reader in(data, size);
    std::vector<Step> steps;
    int pauses = 0;
    while (!in.empty() && stream.size() < kMaxStream) {
        const uint8_t c = in.byte();
        Step s;
        if (c < 0x80) {
            s.chunk = std::string(in.bytes(c & 0x7F));
        } else if (c < 0xC0) {
            appendFiller(s.chunk, stream.size(), static_cast<size_t>((c & 0x3F) + 1) * 1024);
        } else if (c < 0xE0) {
            const uint32_t length = static_cast<uint32_t>(c & 0x1F) << 16 | in.u16();
            s.chunk = prefix(length);
            appendFiller(s.chunk, stream.size() + 4, std::min<size_t>(length, kMaxStream));
        } else {
            if (pauses++ >= kMaxPauses) continue;
            s.pauseUs = (c & 0x1F) * 10;
        }
        if (s.pauseUs < 0) {
            if (stream.size() + s.chunk.size() > kMaxStream) s.chunk.resize(kMaxStream - stream.size());
            stream += s.chunk;
        }
        steps.push_back(std::move(s));
    }
    return steps;
}

// What the frame rule says of a stream: the frames delivered, and whether a
// bad prefix ends it.
struct Expected {
    std::vector<std::string> frames;
    bool badPrefix = false;
};

Expected expect(const std::string& stream) {
    Expected e;
    size_t at = 0;
    while (stream.size() - at >= 4) {
        uint32_t word = 0;
        std::memcpy(&word, stream.data() + at, 4);
        const uint32_t length = ntohl(word);
        at += 4;
        if (length > static_cast<uint32_t>(tarn::ConnectedSocket::kMaxFrameLength)) {
            e.badPrefix = true;
            break;
        }
        if (stream.size() - at < length) break;  // cut short: dropped at the close
        if (length > 0) e.frames.push_back(stream.substr(at, length));
        at += length;
    }
    return e;
}

// A plain client on the loopback port and the accepted handle, known to the
// network-event layer as connected (as a ListeningSocket accepts).
// Waits for events on fd for up to ms. libFuzzer's timer signal may cut a
// wait short (EINTR): the wait goes on for the time left.
bool waitFor(int fd, short events, int ms) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(left));
        if (n == 1) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool connectPair(int& client, int& server) {
    Rig& r = rig();
    client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(r.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        // An interrupted connect goes on in the kernel; its outcome is read
        // once the socket is writable.
        if (errno != EINTR && errno != EINPROGRESS) return false;
        if (!waitFor(client, POLLOUT, 5000)) return false;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
        if (error != 0) {
            errno = error;
            return false;
        }
    }
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!waitFor(r.listener, POLLIN, 5000)) return false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        server = tarn::platform::netAccept(r.listener, nullptr);
        if (server >= 0 || errno != EINTR) break;
    }
    return server >= 0;
}

// Sends the chunk within the deadline. False when the peer has gone (the
// reader ended the connection); a peer that stops reading for the whole
// limit is a fault.
bool sendChunk(int fd, const std::string& chunk, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < chunk.size()) {
        const ssize_t n = ::send(fd, chunk.data() + sent, chunk.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        FUZZ_CHECK_MSG(left > 0, "the reader stopped taking bytes");
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rig& r = rig();
    std::string stream;
    const std::vector<Step> steps = plan(data, size, stream);
    const Expected want = expect(stream);

    int client = -1;
    int server = -1;
    FUZZ_CHECK_MSG(connectPair(client, server), std::string("loopback connection: ") + std::strerror(errno));
    r.journal.clear();
    auto* socket = new ProbeSocket(r.journal, server);  // deletes itself when it ends
    FUZZ_CHECK(socket->attach(&r.reactor) == 0);

    const Clock::time_point writeDeadline = Clock::now() + kWriteLimit;
    bool peerOpen = true;
    for (const Step& s : steps) {
        if (s.pauseUs >= 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(s.pauseUs));
        } else if (!s.chunk.empty() && !sendChunk(client, s.chunk, writeDeadline)) {
            peerOpen = false;
            break;
        }
    }
    FUZZ_CHECK_MSG(peerOpen || want.badPrefix, "the connection ended before the stream did");
    if (peerOpen) ::shutdown(client, SHUT_WR);

    Journal& j = r.journal;
    std::unique_lock<std::mutex> lock(j.m);
    FUZZ_CHECK_MSG(j.ended.wait_for(lock, kEndLimit, [&] { return j.destroyed; }),
                   "the socket did not end after the stream");

    FUZZ_CHECK_MSG(j.messages.size() == want.frames.size(), "delivered " + std::to_string(j.messages.size()) +
                                                                " frames, the stream holds " +
                                                                std::to_string(want.frames.size()));
    int capacity = tarn::ConnectedSocket::DataBuffer::kInitialCapacity;
    for (size_t i = 0; i < want.frames.size(); ++i) {
        FUZZ_CHECK_MSG(j.messages[i] == want.frames[i], "frame " + std::to_string(i) + " differs");
        capacity = std::max(capacity, static_cast<int>(want.frames[i].size()));
        FUZZ_CHECK_MSG(j.capacities[i] == capacity, "frame " + std::to_string(i) + ": capacity " +
                                                        std::to_string(j.capacities[i]) + ", want " +
                                                        std::to_string(capacity));
    }
    std::string calls;
    for (const std::string& c : j.calls) calls += c + " ";
    if (want.badPrefix) {
        FUZZ_CHECK_MSG(calls == "error:-10040 closed:0 ", calls);
    } else {
        FUZZ_CHECK_MSG(calls == "closed:1 ", calls);
    }
    lock.unlock();
    tarn::platform::netClose(client);
    return 0;
}
