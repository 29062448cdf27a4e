// Framed stream sockets over loopback, beside two peers doing the same work in
// the same run: plain blocking sockets (the near-physical limit here) and
// Boost.Asio.
//
//   *_PingPong/<body>  one frame out, the same frame echoed back; items are
//                      round trips (each round trip is two messages)
//   *_OneWay64K        64 KiB frames in one direction; bytes are bodies
//
// Every pair uses two threads, one per end, and one send per frame; the
// one-reactor ping-pong serves both ends of the library's pair on one thread.

#include "tarn/ClientSocket.h"
#include "tarn/ConnectedSocket.h"
#include "tarn/ListeningSocket.h"
#include "tarn/Reactor.h"
#include "tarn/platform/Event.h"

#include <benchmark/benchmark.h>
#include <boost/asio.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRoundTrips = 2000;   // per iteration
constexpr int kBulkFrames = 256;    // per iteration
constexpr int kBulkBody = 64 * 1024;
constexpr uint32_t kWaitMs = 5000;

using tarn::platform::Event;
using tarn::platform::kWaitObject0;

std::string framed(const std::string& body) {
    const uint32_t word = htonl(static_cast<uint32_t>(body.size()));
    return std::string(reinterpret_cast<const char*>(&word), 4) + body;
}

bool waitFor(Event& e, benchmark::State& state) {
    if (e.wait(kWaitMs) == kWaitObject0) return true;
    state.SkipWithError("timed out");
    return false;
}

// ---------------------------------------------------------------- tarn ----

std::atomic<int> gLiveServerSockets{0};

// The server end: echoes each message, or only counts it.
class ServerSocket : public tarn::ConnectedSocket {
public:
    ServerSocket(tarn::SocketHandle h, const tarn::InetAddr& peer, bool echo)
        : ConnectedSocket(h, peer), echo_(echo) {
        ++gLiveServerSockets;
    }
    ~ServerSocket() override { --gLiveServerSockets; }
    void onMessage(const char* data, int length) override {
        if (echo_) {
            sendMessage(data, length);
            return;
        }
        if (++received_ == target.load(std::memory_order_relaxed)) {
            received_ = 0;
            done.set();
        }
    }
    std::atomic<int> target{0};
    Event done;
    int received() const { return received_; }

private:
    bool echo_;
    int received_ = 0;  // reactor thread
};

class Acceptor : public tarn::AcceptHandler {
public:
    Acceptor(tarn::Reactor* reactor, bool echo) : reactor_(reactor), echo_(echo) {}
    int onAccept(tarn::SocketHandle h, const tarn::InetAddr& peer) override {
        auto* s = new ServerSocket(h, peer, echo_);
        s->attach(reactor_);
        last.store(s);
        accepted.set();
        return 1;
    }
    std::atomic<ServerSocket*> last{nullptr};
    Event accepted;

private:
    tarn::Reactor* reactor_;
    bool echo_;
};

// The client end: a batch of round trips, or a stream of frames, driven on
// its reactor thread.
class BenchClient : public tarn::ClientSocket {
public:
    void onConnected() override {
        ClientSocket::onConnected();
        connected.set();
    }
    void onMessage(const char*, int) override {
        if (--remaining_ > 0) {
            sendMessage(body.data(), static_cast<int>(body.size()));
        } else {
            done.set();
        }
    }
    void onWritable() override {
        ClientSocket::onWritable();
        pump();
    }
    void startPingPong(int n) {
        stream_ = false;
        remaining_ = n;
        sendMessage(body.data(), static_cast<int>(body.size()));
    }
    void startStream(int n) {
        stream_ = true;
        remaining_ = n;
        pump();
    }
    std::string body;
    Event connected;
    Event done;
    int left() const { return remaining_; }

private:
    // Sends until the batch is out or the transport pushes back; the drain
    // calls it again.
    void pump() {
        while (stream_ && remaining_ > 0 && !isWriteBlocked()) {
            if (sendMessage(body.data(), static_cast<int>(body.size())) < 0) return;
            --remaining_;
        }
    }
    int remaining_ = 0;  // reactor thread
    bool stream_ = false;
};


// Starts a batch on the client's reactor thread; deletes itself.
class Start : public tarn::Task {
public:
    Start(BenchClient* c, int n, bool stream) : c_(c), n_(n), stream_(stream) {}
    void execute() override {
        if (stream_) {
            c_->startStream(n_);
        } else {
            c_->startPingPong(n_);
        }
        delete this;
    }
    void discard() override { delete this; }

private:
    BenchClient* c_;
    int n_;
    bool stream_;
};

// A ClientSocket on one reactor connected to a server socket on another.
struct TarnPair {
    tarn::Reactor serverReactor;
    tarn::Reactor clientReactor;
    Acceptor acceptor;
    tarn::ListeningSocket listener;
    BenchClient client;
    bool ok = false;

    explicit TarnPair(bool echo, bool oneReactor = false)
        : acceptor(oneReactor ? &clientReactor : &serverReactor, echo),
          listener(tarn::InetAddr(tarn::TarnString("127.0.0.1"), 0), &acceptor) {
        if (listener.listen(8) != 0) return;
        serverReactor.start();
        clientReactor.start();
        listener.attach(oneReactor ? &clientReactor : &serverReactor);
        client.attach(&clientReactor);
        const tarn::InetAddr to(tarn::TarnString("127.0.0.1"), listener.getBoundPort());
        if (client.connect(to) != 0) return;
        ok = client.connected.wait(kWaitMs) == kWaitObject0 && acceptor.accepted.wait(kWaitMs) == kWaitObject0;
    }
    ~TarnPair() {
        client.detach();
        client.onClosed(false);  // closes the handle: the server end sees it and ends itself
        for (int i = 0; i < 1000 && gLiveServerSockets.load() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        listener.detach();
        clientReactor.stop();
        serverReactor.stop();
    }
};

void tarnPingPong(benchmark::State& state, bool oneReactor) {
    TarnPair pair(true, oneReactor);
    if (!pair.ok) {
        state.SkipWithError("no connection");
        return;
    }
    pair.client.body = std::string(static_cast<size_t>(state.range(0)), 'p');
    for (auto _ : state) {
        pair.clientReactor.post(new Start(&pair.client, kRoundTrips, false));
        if (!waitFor(pair.client.done, state)) break;
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

// Each end on its own reactor thread, as the plain and Asio pairs have one
// thread per end.
void BM_Tarn_PingPong(benchmark::State& state) { tarnPingPong(state, false); }
// Both ends served by one reactor thread: no thread hand-over per message.
void BM_Tarn_PingPongOneReactor(benchmark::State& state) { tarnPingPong(state, true); }

void BM_Tarn_OneWay64K(benchmark::State& state) {
    TarnPair pair(false);
    if (!pair.ok) {
        state.SkipWithError("no connection");
        return;
    }
    ServerSocket* sink = pair.acceptor.last.load();
    sink->target.store(kBulkFrames);
    pair.client.body = std::string(kBulkBody, 'b');
    for (auto _ : state) {
        pair.clientReactor.post(new Start(&pair.client, kBulkFrames, true));
        if (sink->done.wait(kWaitMs) != kWaitObject0) {
            const std::string why = "timed out: received " + std::to_string(sink->received()) + ", client left " +
                                    std::to_string(pair.client.left()) + ", blocked " +
                                    std::to_string(pair.client.isWriteBlocked()) + ", queued " +
                                    std::to_string(pair.client.queuedFrames());
            state.SkipWithError(why.c_str());
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBulkFrames * int64_t{kBulkBody});
}

// ------------------------------------------------------- plain blocking ----

bool readAll(int fd, void* buffer, size_t n) {
    auto* p = static_cast<char*>(buffer);
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads one frame into `frame` (prefix included).
bool readFrame(int fd, std::vector<char>& frame) {
    uint32_t word = 0;
    if (!readAll(fd, &word, 4)) return false;
    const size_t length = ntohl(word);
    frame.resize(length + 4);
    std::memcpy(frame.data(), &word, 4);
    return readAll(fd, frame.data() + 4, length);
}

// A blocking client connected to a blocking server thread.
struct PlainPair {
    int client = -1;
    std::thread server;
    std::atomic<int> target{0};
    Event done;

    explicit PlainPair(bool echo) {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        const int peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        server = std::thread([this, peer, echo] {
            std::vector<char> frame;
            int received = 0;
            while (readFrame(peer, frame)) {
                if (echo) {
                    if (!writeAll(peer, frame.data(), frame.size())) break;
                } else if (++received == target.load(std::memory_order_relaxed)) {
                    received = 0;
                    done.set();
                }
            }
            ::close(peer);
        });
    }
    ~PlainPair() {
        ::shutdown(client, SHUT_RDWR);
        server.join();
        ::close(client);
    }
};

void BM_Plain_PingPong(benchmark::State& state) {
    PlainPair pair(true);
    const std::string frame = framed(std::string(static_cast<size_t>(state.range(0)), 'p'));
    std::vector<char> reply;
    for (auto _ : state) {
        for (int i = 0; i < kRoundTrips; ++i) {
            if (!writeAll(pair.client, frame.data(), frame.size()) || !readFrame(pair.client, reply)) {
                state.SkipWithError("connection lost");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void BM_Plain_OneWay64K(benchmark::State& state) {
    PlainPair pair(false);
    pair.target.store(kBulkFrames);
    const std::string frame = framed(std::string(kBulkBody, 'b'));
    for (auto _ : state) {
        for (int i = 0; i < kBulkFrames; ++i) {
            if (!writeAll(pair.client, frame.data(), frame.size())) {
                state.SkipWithError("connection lost");
                return;
            }
        }
        if (!waitFor(pair.done, state)) break;
    }
    state.SetBytesProcessed(state.iterations() * kBulkFrames * int64_t{kBulkBody});
}

// ------------------------------------------------------------ Boost.Asio ----

namespace asio = boost::asio;
using asio::ip::tcp;

// The server end: reads prefix and body, then echoes the frame or counts it.
class AsioSession : public std::enable_shared_from_this<AsioSession> {
public:
    AsioSession(tcp::socket socket, bool echo, std::atomic<int>& target, Event& done)
        : socket_(std::move(socket)), echo_(echo), target_(target), done_(done) {}
    void start() { readPrefix(); }

private:
    void readPrefix() {
        auto self = shared_from_this();
        asio::async_read(socket_, asio::buffer(&word_, 4), [this, self](boost::system::error_code ec, size_t) {
            if (ec) return;
            const size_t length = ntohl(word_);
            frame_.resize(length + 4);
            std::memcpy(frame_.data(), &word_, 4);
            readBody(length);
        });
    }
    void readBody(size_t length) {
        auto self = shared_from_this();
        asio::async_read(socket_, asio::buffer(frame_.data() + 4, length), [this, self](boost::system::error_code ec, size_t) {
            if (ec) return;
            if (echo_) {
                asio::async_write(socket_, asio::buffer(frame_), [this, self](boost::system::error_code e, size_t) {
                    if (!e) readPrefix();
                });
                return;
            }
            if (++received_ == target_.load(std::memory_order_relaxed)) {
                received_ = 0;
                done_.set();
            }
            readPrefix();
        });
    }

    tcp::socket socket_;
    bool echo_;
    std::atomic<int>& target_;
    Event& done_;
    uint32_t word_ = 0;
    std::vector<char> frame_;
    int received_ = 0;
};

// A server io_context on its own thread; the client runs on the caller's.
struct AsioPair {
    asio::io_context serverContext;
    asio::io_context clientContext;
    tcp::acceptor acceptor{serverContext, tcp::endpoint(asio::ip::address_v4::loopback(), 0)};
    tcp::socket client{clientContext};
    std::thread server;
    std::atomic<int> target{0};
    Event done;

    explicit AsioPair(bool echo) {
        acceptor.async_accept([this, echo](boost::system::error_code ec, tcp::socket s) {
            if (!ec) std::make_shared<AsioSession>(std::move(s), echo, target, done)->start();
        });
        server = std::thread([this] { serverContext.run(); });
        client.connect(acceptor.local_endpoint());
    }
    ~AsioPair() {
        boost::system::error_code ec;
        client.shutdown(tcp::socket::shutdown_both, ec);
        client.close(ec);
        server.join();  // the session ends on the close, and with it the work
    }
};

class AsioPinger {
public:
    AsioPinger(tcp::socket& s, std::string frame) : socket_(s), frame_(std::move(frame)) {}
    void run(int n) {
        remaining_ = n;
        send();
    }
    bool failed = false;

private:
    void send() {
        asio::async_write(socket_, asio::buffer(frame_), [this](boost::system::error_code ec, size_t) {
            if (ec) {
                failed = true;
                return;
            }
            asio::async_read(socket_, asio::buffer(&word_, 4), [this](boost::system::error_code e, size_t) {
                if (e) {
                    failed = true;
                    return;
                }
                reply_.resize(ntohl(word_));
                asio::async_read(socket_, asio::buffer(reply_), [this](boost::system::error_code e2, size_t) {
                    if (e2) {
                        failed = true;
                    } else if (--remaining_ > 0) {
                        send();
                    }
                });
            });
        });
    }
    tcp::socket& socket_;
    std::string frame_;
    uint32_t word_ = 0;
    std::vector<char> reply_;
    int remaining_ = 0;
};

void BM_Asio_PingPong(benchmark::State& state) {
    AsioPair pair(true);
    AsioPinger pinger(pair.client, framed(std::string(static_cast<size_t>(state.range(0)), 'p')));
    for (auto _ : state) {
        pinger.run(kRoundTrips);
        pair.clientContext.restart();
        pair.clientContext.run();
        if (pinger.failed) {
            state.SkipWithError("connection lost");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRoundTrips);
}

void BM_Asio_OneWay64K(benchmark::State& state) {
    AsioPair pair(false);
    pair.target.store(kBulkFrames);
    const std::string frame = framed(std::string(kBulkBody, 'b'));
    for (auto _ : state) {
        int left = kBulkFrames;
        bool failed = false;
        std::function<void()> next = [&] {
            asio::async_write(pair.client, asio::buffer(frame), [&](boost::system::error_code ec, size_t) {
                if (ec) {
                    failed = true;
                } else if (--left > 0) {
                    next();
                }
            });
        };
        next();
        pair.clientContext.restart();
        pair.clientContext.run();
        if (failed || !waitFor(pair.done, state)) {
            if (failed) state.SkipWithError("connection lost");
            return;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBulkFrames * int64_t{kBulkBody});
}

}  // namespace

BENCHMARK(BM_Plain_PingPong)->Arg(16)->Arg(4096)->UseRealTime();
BENCHMARK(BM_Asio_PingPong)->Arg(16)->Arg(4096)->UseRealTime();
BENCHMARK(BM_Tarn_PingPong)->Arg(16)->Arg(4096)->UseRealTime();
BENCHMARK(BM_Tarn_PingPongOneReactor)->Arg(16)->Arg(4096)->UseRealTime();
BENCHMARK(BM_Plain_OneWay64K)->UseRealTime();
BENCHMARK(BM_Asio_OneWay64K)->UseRealTime();
BENCHMARK(BM_Tarn_OneWay64K)->UseRealTime();
