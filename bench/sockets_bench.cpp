// Framed stream sockets over loopback, beside two peers doing the same work in
// the same run: plain blocking sockets (the near-physical limit here) and
// Boost.Asio. Every row runs the three alternately, once per iteration, in
// the same layout (the client end on the first CPU, the server end on the
// second, or both on the first for the one-CPU rows), and prints the medians
// and the ratios (> 1: the library does better).
//
//   PingPong/<body>/<oneCpu>  one frame out, the same frame echoed back; round
//                             trips per second
//   OneWay64K                 64 KiB frames in one direction; MB/s of bodies
//
// Every end has a thread of its own and sends a frame with one call. The plain
// ends read as a buffered blocking reader does: one receive when the frame is
// there already.

#include "BenchSupport.h"

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
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRuns = 5;
constexpr int kRoundTrips = 2000;  // per iteration
constexpr int kBulkFrames = 256;   // per iteration
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
    ServerSocket(tarn::SocketHandle h, const tarn::InetAddr& peer, bool echo) : ConnectedSocket(h, peer), echo_(echo) {
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
    benchpin::PinnedReactor serverReactor;
    benchpin::PinnedReactor clientReactor;
    Acceptor acceptor;
    tarn::ListeningSocket listener;
    BenchClient client;
    bool ok = false;

    TarnPair(bool echo, const benchpin::Placement& place, bool oneReactor = false)
        : serverReactor(place.second),
          clientReactor(place.first),
          acceptor(oneReactor ? &clientReactor : &serverReactor, echo),
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

// Runs one batch of round trips; false when it failed.
bool tarnPingPong(TarnPair& pair, benchmark::State& state) {
    pair.clientReactor.post(new Start(&pair.client, kRoundTrips, false));
    return waitFor(pair.client.done, state);
}

bool tarnOneWay(TarnPair& pair, benchmark::State& state) {
    pair.clientReactor.post(new Start(&pair.client, kBulkFrames, true));
    ServerSocket* sink = pair.acceptor.last.load();
    if (sink->done.wait(kWaitMs) == kWaitObject0) return true;
    const std::string why = "timed out: received " + std::to_string(sink->received()) + ", client left " +
                            std::to_string(pair.client.left()) + ", blocked " +
                            std::to_string(pair.client.isWriteBlocked()) + ", queued " +
                            std::to_string(pair.client.queuedFrames());
    state.SkipWithError(why.c_str());
    return false;
}

// ------------------------------------------------------- plain blocking ----

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

// A buffered blocking reader: one receive of whatever is there, frames cut
// out of the buffer, a second receive only for a frame not yet complete.
class FrameReader {
public:
    // Reads one frame into `frame` (prefix included).
    bool readFrame(int fd, std::vector<char>& frame) {
        while (!complete()) {
            if (begin_ > 0) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
                end_ -= begin_;
                begin_ = 0;
            }
            if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
            const ssize_t r = ::recv(fd, buffer_.data() + end_, buffer_.size() - end_, 0);
            if (r <= 0) return false;
            end_ += static_cast<size_t>(r);
        }
        const size_t total = 4 + bodyLength();
        frame.assign(buffer_.data() + begin_, buffer_.data() + begin_ + total);
        begin_ += total;
        return true;
    }

private:
    size_t bodyLength() const {
        uint32_t word = 0;
        std::memcpy(&word, buffer_.data() + begin_, 4);
        return ntohl(word);
    }
    bool complete() const { return end_ - begin_ >= 4 && end_ - begin_ >= 4 + bodyLength(); }

    std::vector<char> buffer_ = std::vector<char>(256 * 1024);
    size_t begin_ = 0;
    size_t end_ = 0;
};

// A blocking client connected to a blocking server thread.
struct PlainPair {
    int client = -1;
    std::thread server;
    std::atomic<int> target{0};
    Event done;

    PlainPair(bool echo, int serverCpu) {
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
        server = std::thread([this, peer, echo, serverCpu] {
            benchpin::pinSelf(serverCpu);
            FrameReader reader;
            std::vector<char> frame;
            int received = 0;
            while (reader.readFrame(peer, frame)) {
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

bool plainPingPong(PlainPair& pair, FrameReader& reader, const std::string& frame, benchmark::State& state) {
    std::vector<char> reply;
    for (int i = 0; i < kRoundTrips; ++i) {
        if (!writeAll(pair.client, frame.data(), frame.size()) || !reader.readFrame(pair.client, reply)) {
            state.SkipWithError("connection lost");
            return false;
        }
    }
    return true;
}

bool plainOneWay(PlainPair& pair, const std::string& frame, benchmark::State& state) {
    for (int i = 0; i < kBulkFrames; ++i) {
        if (!writeAll(pair.client, frame.data(), frame.size())) {
            state.SkipWithError("connection lost");
            return false;
        }
    }
    return waitFor(pair.done, state);
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
        asio::async_read(
            socket_, asio::buffer(frame_.data() + 4, length), [this, self](boost::system::error_code ec, size_t) {
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

    AsioPair(bool echo, int serverCpu) {
        acceptor.async_accept([this, echo](boost::system::error_code ec, tcp::socket s) {
            if (!ec) std::make_shared<AsioSession>(std::move(s), echo, target, done)->start();
        });
        server = std::thread([this, serverCpu] {
            benchpin::pinSelf(serverCpu);
            serverContext.run();
        });
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

bool asioPingPong(AsioPair& pair, AsioPinger& pinger, benchmark::State& state) {
    pinger.run(kRoundTrips);
    pair.clientContext.restart();
    pair.clientContext.run();
    if (!pinger.failed) return true;
    state.SkipWithError("connection lost");
    return false;
}

bool asioOneWay(AsioPair& pair, const std::string& frame, benchmark::State& state) {
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
    if (failed) state.SkipWithError("connection lost");
    return !failed && waitFor(pair.done, state);
}

using benchpin::median;

// Times one run of `body` (false: it failed) and records `units` per second.
template <typename F>
bool timed(std::vector<double>& rates, double units, F&& body) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!body()) return false;
    rates.push_back(units / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    return true;
}

void PingPong(benchmark::State& state) {
    const size_t bodySize = static_cast<size_t>(state.range(0));
    const benchpin::Placement place = benchpin::placement(true, state.range(1) != 0);
    benchpin::ScopedPin pin(place.first);
    TarnPair tarnPair(true, place);
    TarnPair tarnOne(true, place, true);
    PlainPair plainPair(true, place.second);
    AsioPair asioPair(true, place.second);
    if (!tarnPair.ok || !tarnOne.ok) {
        state.SkipWithError("no connection");
        return;
    }
    tarnPair.client.body = std::string(bodySize, 'p');
    tarnOne.client.body = tarnPair.client.body;
    const std::string frame = framed(tarnPair.client.body);
    FrameReader reader;
    AsioPinger pinger(asioPair.client, frame);
    std::vector<double> tarn, tarn1, plain, asioRates;
    for (auto _ : state) {
        if (!timed(tarn, kRoundTrips, [&] { return tarnPingPong(tarnPair, state); })) return;
        if (!timed(plain, kRoundTrips, [&] { return plainPingPong(plainPair, reader, frame, state); })) return;
        if (!timed(asioRates, kRoundTrips, [&] { return asioPingPong(asioPair, pinger, state); })) return;
        if (!timed(tarn1, kRoundTrips, [&] { return tarnPingPong(tarnOne, state); })) return;
    }
    state.counters["tarn_kps"] = median(tarn) / 1000;
    state.counters["plain_kps"] = median(plain) / 1000;
    state.counters["asio_kps"] = median(asioRates) / 1000;
    state.counters["tarn_1reactor_kps"] = median(tarn1) / 1000;
    state.counters["ratio_plain"] = median(tarn) / median(plain);
    state.counters["ratio_asio"] = median(tarn) / median(asioRates);
    state.SetLabel(place.label());
}

void OneWay64K(benchmark::State& state) {
    const benchpin::Placement place = benchpin::placement(true);
    benchpin::ScopedPin pin(place.first);
    TarnPair tarnPair(false, place);
    PlainPair plainPair(false, place.second);
    AsioPair asioPair(false, place.second);
    if (!tarnPair.ok) {
        state.SkipWithError("no connection");
        return;
    }
    tarnPair.acceptor.last.load()->target.store(kBulkFrames);
    plainPair.target.store(kBulkFrames);
    asioPair.target.store(kBulkFrames);
    tarnPair.client.body = std::string(kBulkBody, 'b');
    const std::string frame = framed(tarnPair.client.body);
    const double megabytes = kBulkFrames * double{kBulkBody} / 1e6;
    std::vector<double> tarn, plain, asioRates;
    for (auto _ : state) {
        if (!timed(tarn, megabytes, [&] { return tarnOneWay(tarnPair, state); })) return;
        if (!timed(plain, megabytes, [&] { return plainOneWay(plainPair, frame, state); })) return;
        if (!timed(asioRates, megabytes, [&] { return asioOneWay(asioPair, frame, state); })) return;
    }
    state.counters["tarn_MBps"] = median(tarn);
    state.counters["plain_MBps"] = median(plain);
    state.counters["asio_MBps"] = median(asioRates);
    state.counters["ratio_plain"] = median(tarn) / median(plain);
    state.counters["ratio_asio"] = median(tarn) / median(asioRates);
    state.SetLabel(place.label());
}

}  // namespace

BENCHMARK(PingPong)->ArgsProduct({{16, 4096}, {1, 0}})->Iterations(kRuns)->UseRealTime();
BENCHMARK(OneWay64K)->Iterations(kRuns)->UseRealTime();
