// TLS figures on loopback, each beside peers doing the same work in the same
// run: our TLS sockets (sender and receiver on reactors of their own), a pair
// of blocking threads on plain OpenSSL, and Boost.Asio's ssl stream. Every
// row runs the three alternately, once per iteration, with the sending end on
// the first CPU and the receiving end on the second, and prints the medians
// and the ratios (> 1: the library does better). Every context allows the
// one suite TLS_AES_128_GCM_SHA256.
//   TlsStream     64 KiB frames streamed one way, MB/s of bodies, beside the
//                 cipher alone (EVP, 16 KiB records) as the crypto limit;
//   TlsPingPong   framed ping-pong with 16-byte bodies, round trips/s.
// Every frame is a 4-byte big-endian length and the body; every receiver asks
// for the prefix, then for the body. Credentials come from scripts/make-certs
// into a temporary folder.
#include "BenchSupport.h"

#include "tarn/ListeningSocket.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"
#include "tarn/platform/Event.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#pragma GCC diagnostic pop

#include <benchmark/benchmark.h>

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr int kFrame = 64 * 1024;
constexpr int kRuns = 5;
constexpr int kBatch = 256;  // frames per run (16 MiB)
constexpr int kPing = 16;
constexpr int kRoundTrips = 1000;  // per timed iteration

// ---- credentials ----

std::string makeCertificates() {
    ::signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/tls-bench-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    std::string script = __FILE__;
    script = script.substr(0, script.rfind('/')) + "/../scripts/make-certs";
    const std::string command = "'" + script + "' " + dir + " >/dev/null";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "make-certs failed\n");
        std::abort();
    }
    static std::string removal;
    removal = std::string("rm -rf ") + dir;
    std::atexit([] {
        if (std::system(removal.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", removal.c_str());
    });
    return dir;
}

const std::string& certDir() {
    static const std::string dir = makeCertificates();
    return dir;
}
std::string cert(const char* name) { return certDir() + "/" + name; }

constexpr const char* kSuite = "TLS_AES_128_GCM_SHA256";

// Every context of every peer: TLS 1.3 with the one suite.
void fixSuite(SSL_CTX* ctx) {
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    if (SSL_CTX_set_ciphersuites(ctx, kSuite) != 1) {
        std::fprintf(stderr, "cannot set the suite\n");
        std::abort();
    }
}

std::string frameOf(size_t n, char fill) {
    std::string f(4 + n, fill);
    const uint32_t word = htonl(static_cast<uint32_t>(n));
    std::memcpy(f.data(), &word, 4);
    return f;
}

// Counts up to a target and wakes one waiter.
class Countdown {
public:
    void arm(int n) {
        std::lock_guard<std::mutex> g(m_);
        left_ = n;
    }
    void tick() {
        std::lock_guard<std::mutex> g(m_);
        if (--left_ == 0) cv_.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait(g, [&] { return left_ <= 0; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    int left_ = 0;
};

// ---- our sockets ----

class BenchServerSocket : public tarn::SSLConnectedSocket {
public:
    BenchServerSocket(tarn::SocketHandle h, const tarn::InetAddr& peer, tarn::SSLContext* ctx, Countdown& frames,
                      bool echo, std::atomic<BenchServerSocket*>& alive)
        : SSLConnectedSocket(h, peer, ctx), frames_(frames), echo_(echo), alive_(alive) {}
    ~BenchServerSocket() override { alive_.store(nullptr); }
    bool onHandshakeDone() override {
        alive_.store(this);
        return false;
    }
    void onMessage(const char* data, int length) override {
        if (echo_) {
            sendMessage(data, length);
        } else {
            frames_.tick();
        }
    }

private:
    Countdown& frames_;
    bool echo_;
    std::atomic<BenchServerSocket*>& alive_;
};

class BenchClientSocket : public tarn::SSLClientSocket {
public:
    BenchClientSocket(tarn::SSLContext* ctx, Countdown& replies) : SSLClientSocket(ctx), replies_(replies) {}
    bool onHandshakeDone() override {
        up.set();
        return false;
    }
    void onMessage(const char* data, int length) override {
        replies_.tick();
        if (--pingsLeft > 0) sendMessage(data, length);
    }
    tarn::platform::Event up{true, false};
    int pingsLeft = 0;  // reactor thread

private:
    Countdown& replies_;
};

// Runs a function once on a reactor thread.
class Call : public tarn::Task {
public:
    explicit Call(std::function<void()> f) : f_(std::move(f)) {}
    void execute() override {
        f_();
        delete this;
    }
    void discard() override { delete this; }

private:
    std::function<void()> f_;
};

class OurPair : public tarn::AcceptHandler {
public:
    OurPair(bool echo, const benchpin::Placement& place)
        : echo_(echo), sending_(place.first), receiving_(place.second) {
        fixSuite(serverCtx_.getContext());
        fixSuite(clientCtx_.getContext());
        sending_.start();
        receiving_.start();
        listener_ = std::make_unique<tarn::ListeningSocket>(tarn::InetAddr("127.0.0.1", 0), this);
        listener_->listen(4);
        listener_->attach(&receiving_);
        client_ = std::make_unique<BenchClientSocket>(&clientCtx_, replies);
        client_->connect(tarn::InetAddr("127.0.0.1", listener_->getBoundPort()));
        client_->attach(&sending_);
        client_->up.wait(10000);
        while (server_.load() == nullptr) std::this_thread::yield();
    }
    ~OurPair() override {
        sending_.stop();
        receiving_.stop();
        client_.reset();
        delete server_.load();
        listener_.reset();
    }
    int onAccept(tarn::SocketHandle h, const tarn::InetAddr& peer) override {
        auto* s = new BenchServerSocket(h, peer, &serverCtx_, frames, echo_, server_);
        s->attach(&receiving_);
        return 1;
    }
    void onSender(std::function<void()> f) { sending_.post(new Call(std::move(f))); }
    BenchClientSocket& client() { return *client_; }
    Countdown frames;
    Countdown replies;

private:
    bool echo_;
    tarn::SSLContext serverCtx_{cert("server.pem").c_str(), cert("server.key").c_str(), "", "", "HIGH:!aNULL", false};
    tarn::SSLContext clientCtx_{cert("ca.pem").c_str()};
    benchpin::PinnedReactor sending_;
    benchpin::PinnedReactor receiving_;
    std::unique_ptr<tarn::ListeningSocket> listener_;
    std::unique_ptr<BenchClientSocket> client_;
    std::atomic<BenchServerSocket*> server_{nullptr};
};

void tarnStream(OurPair& pair, const std::string& body) {
    pair.frames.arm(kBatch);
    pair.onSender([&] {
        for (int i = 0; i < kBatch; ++i) pair.client().sendMessage(body.data(), kFrame);
    });
    pair.frames.wait();
}

void tarnPingPong(OurPair& pair, const std::string& body) {
    pair.replies.arm(kRoundTrips);
    pair.onSender([&] {
        pair.client().pingsLeft = kRoundTrips;
        pair.client().sendMessage(body.data(), kPing);
    });
    pair.replies.wait();
}

// ---- plain OpenSSL, blocking threads ----

bool readAll(SSL* ssl, char* p, int n) {
    while (n > 0) {
        const int r = SSL_read(ssl, p, n);
        if (r <= 0) return false;
        p += r;
        n -= r;
    }
    return true;
}

class PlainPair {
public:
    PlainPair(bool echo, int receiverCpu) {
        sctx_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(sctx_, cert("server.pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(sctx_, cert("server.key").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_set_cipher_list(sctx_, "HIGH:!aNULL");
        fixSuite(sctx_);
        cctx_ = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(cctx_, cert("ca.pem").c_str(), nullptr);
        fixSuite(cctx_);

        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener, 1);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);

        receiver_ = std::thread([this, listener, echo, receiverCpu] {
            benchpin::pinSelf(receiverCpu);
            serverFd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            ::close(listener);
            SSL* ssl = SSL_new(sctx_);
            SSL_set_fd(ssl, serverFd_);
            if (SSL_accept(ssl) == 1) serve(ssl, echo);
            SSL_free(ssl);
        });
        clientFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(clientFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        client = SSL_new(cctx_);
        SSL_set_fd(client, clientFd_);
        SSL_connect(client);
    }
    ~PlainPair() {
        ::shutdown(clientFd_, SHUT_RDWR);
        receiver_.join();
        SSL_free(client);
        ::close(clientFd_);
        ::close(serverFd_);
        SSL_CTX_free(sctx_);
        SSL_CTX_free(cctx_);
    }

    SSL* client = nullptr;
    Countdown frames;

private:
    void serve(SSL* ssl, bool echo) {
        std::vector<char> buffer(4 + kFrame);
        for (;;) {
            uint32_t word = 0;
            if (!readAll(ssl, reinterpret_cast<char*>(&word), 4)) return;
            const int n = static_cast<int>(ntohl(word));
            if (!readAll(ssl, buffer.data() + 4, n)) return;
            if (echo) {
                std::memcpy(buffer.data(), &word, 4);
                if (SSL_write(ssl, buffer.data(), n + 4) <= 0) return;
            } else {
                frames.tick();
            }
        }
    }

    SSL_CTX* sctx_ = nullptr;
    SSL_CTX* cctx_ = nullptr;
    int clientFd_ = -1;
    int serverFd_ = -1;
    std::thread receiver_;
};

void plainStream(PlainPair& pair, const std::string& f) {
    pair.frames.arm(kBatch);
    for (int i = 0; i < kBatch; ++i) SSL_write(pair.client, f.data(), static_cast<int>(f.size()));
    pair.frames.wait();
}

void plainPingPong(PlainPair& pair, const std::string& f) {
    char reply[4 + kPing];
    for (int i = 0; i < kRoundTrips; ++i) {
        SSL_write(pair.client, f.data(), static_cast<int>(f.size()));
        readAll(pair.client, reply, 4);
        readAll(pair.client, reply + 4, kPing);
    }
}

// ---- Boost.Asio ssl stream ----

using SslStream = asio::ssl::stream<tcp::socket>;

// The receiving end: asynchronous reads of prefix and body on its own
// io_context thread; echoes each frame when asked to.
class AsioReceiver {
public:
    AsioReceiver(asio::io_context& io, asio::ssl::context& ctx, tcp::acceptor& acceptor, bool echo, Countdown& frames)
        : stream_(io, ctx), acceptor_(acceptor), echo_(echo), frames_(frames), buffer_(4 + kFrame) {}
    void start() {
        acceptor_.async_accept(stream_.lowest_layer(), [this](boost::system::error_code ec) {
            if (ec) return;
            stream_.async_handshake(asio::ssl::stream_base::server, [this](boost::system::error_code e) {
                if (!e) readPrefix();
            });
        });
    }

private:
    void readPrefix() {
        asio::async_read(stream_, asio::buffer(buffer_.data(), 4), [this](boost::system::error_code ec, size_t) {
            if (ec) return;
            uint32_t word = 0;
            std::memcpy(&word, buffer_.data(), 4);
            readBody(static_cast<int>(ntohl(word)));
        });
    }
    void readBody(int n) {
        asio::async_read(stream_, asio::buffer(buffer_.data() + 4, static_cast<size_t>(n)),
                         [this, n](boost::system::error_code ec, size_t) {
                             if (ec) return;
                             if (!echo_) {
                                 frames_.tick();
                                 readPrefix();
                                 return;
                             }
                             asio::async_write(stream_, asio::buffer(buffer_.data(), static_cast<size_t>(n) + 4),
                                               [this](boost::system::error_code e, size_t) {
                                                   if (!e) readPrefix();
                                               });
                         });
    }

    SslStream stream_;
    tcp::acceptor& acceptor_;
    bool echo_;
    Countdown& frames_;
    std::vector<char> buffer_;
};

class AsioPair {
public:
    AsioPair(bool echo, const benchpin::Placement& place)
        : serverCtx_(asio::ssl::context::tls_server),
          clientCtx_(asio::ssl::context::tls_client),
          acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          client(clientIo_, clientCtx_) {
        serverCtx_.use_certificate_file(cert("server.pem"), asio::ssl::context::pem);
        serverCtx_.use_private_key_file(cert("server.key"), asio::ssl::context::pem);
        SSL_CTX_set_cipher_list(serverCtx_.native_handle(), "HIGH:!aNULL");
        fixSuite(serverCtx_.native_handle());
        clientCtx_.load_verify_file(cert("ca.pem"));
        fixSuite(clientCtx_.native_handle());
        receiver_ = std::make_unique<AsioReceiver>(io_, serverCtx_, acceptor_, echo, frames);
        receiver_->start();
        thread_ = std::thread([this, place] {
            benchpin::pinSelf(place.second);
            io_.run();
        });
        client.lowest_layer().connect(acceptor_.local_endpoint());
        client.handshake(asio::ssl::stream_base::client);
        // From here on the client may also run asynchronously, on a thread of its own.
        clientThread_ = std::thread([this, place] {
            benchpin::pinSelf(place.first);
            clientIo_.run();
        });
    }
    ~AsioPair() {
        clientWork_.reset();
        clientIo_.stop();
        clientThread_.join();
        boost::system::error_code ec;
        client.lowest_layer().shutdown(tcp::socket::shutdown_both, ec);
        client.lowest_layer().close(ec);
        io_.stop();
        thread_.join();
    }

    // n framed round trips driven asynchronously on the client's thread;
    // frames.tick() once at the end.
    void pingPong(int n) {
        asio::post(clientIo_, [this, n] {
            pingsLeft_ = n;
            ping();
        });
    }

    Countdown frames;

private:
    asio::io_context io_;
    asio::io_context clientIo_;
    asio::ssl::context serverCtx_;
    asio::ssl::context clientCtx_;
    tcp::acceptor acceptor_;
    std::unique_ptr<AsioReceiver> receiver_;
    std::thread thread_;
    asio::executor_work_guard<asio::io_context::executor_type> clientWork_ = asio::make_work_guard(clientIo_);
    std::thread clientThread_;
    int pingsLeft_ = 0;  // client thread
    std::string ping_ = frameOf(kPing, 'p');
    char reply_[4 + kPing] = {};

    void ping() {
        asio::async_write(client, asio::buffer(ping_), [this](boost::system::error_code ec, size_t) {
            if (ec) return;
            asio::async_read(client, asio::buffer(reply_, 4), [this](boost::system::error_code e, size_t) {
                if (e) return;
                uint32_t word = 0;
                std::memcpy(&word, reply_, 4);
                asio::async_read(client, asio::buffer(reply_ + 4, ntohl(word)),
                                 [this](boost::system::error_code e2, size_t) {
                                     if (e2) return;
                                     if (--pingsLeft_ > 0) {
                                         ping();
                                     } else {
                                         frames.tick();
                                     }
                                 });
            });
        });
    }

public:
    SslStream client;
};

void asioStream(AsioPair& pair, const std::string& f) {
    pair.frames.arm(kBatch);
    for (int i = 0; i < kBatch; ++i) asio::write(pair.client, asio::buffer(f));
    pair.frames.wait();
}

void asioPingPong(AsioPair& pair) {
    pair.frames.arm(1);
    pair.pingPong(kRoundTrips);
    pair.frames.wait();
}

// ---- the cipher alone ----

// AES-128-GCM over 16 KiB records, as TLS 1.3 seals them with the suite
// every peer uses: the most any TLS transfer on one core can reach. MB/s.
double cipherLimitMBps() {
    unsigned char key[16] = {1};
    unsigned char iv[12] = {2};
    unsigned char tag[16];
    std::vector<unsigned char> in(16384, 'x');
    std::vector<unsigned char> out(16384 + 32);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    int len = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch * kFrame / 16384; ++i) {
        ++iv[11];
        EVP_EncryptInit_ex(ctx, aes, nullptr, key, iv);
        EVP_EncryptUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(in.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + len, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
    }
    benchmark::DoNotOptimize(tag);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EVP_CIPHER_free(aes);
    EVP_CIPHER_CTX_free(ctx);
    return kBatch * double{kFrame} / 1e6 / seconds;
}

// Times one run and records `units` per second.
template <typename F>
void timed(std::vector<double>& rates, double units, F&& body) {
    const auto t0 = std::chrono::steady_clock::now();
    body();
    rates.push_back(units / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
}

void TlsStream(benchmark::State& state) {
    const benchpin::Placement place = benchpin::placement(true);
    benchpin::ScopedPin pin(place.first);
    OurPair ours(false, place);
    PlainPair plain(false, place.second);
    AsioPair asioPair(false, place);
    const std::string body(kFrame, 'x');
    const std::string f = frameOf(kFrame, 'x');
    const double megabytes = kBatch * double{kFrame} / 1e6;
    std::vector<double> tarn, openssl, asioRates, cipher;
    for (auto _ : state) {
        timed(tarn, megabytes, [&] { tarnStream(ours, body); });
        timed(openssl, megabytes, [&] { plainStream(plain, f); });
        timed(asioRates, megabytes, [&] { asioStream(asioPair, f); });
        cipher.push_back(cipherLimitMBps());
    }
    using benchpin::median;
    state.counters["tarn_MBps"] = median(tarn);
    state.counters["openssl_MBps"] = median(openssl);
    state.counters["asio_MBps"] = median(asioRates);
    state.counters["cipher_MBps"] = median(cipher);
    state.counters["ratio_openssl"] = median(tarn) / median(openssl);
    state.counters["ratio_asio"] = median(tarn) / median(asioRates);
    state.SetLabel(place.label() + " " + SSL_get_cipher(plain.client));
}
BENCHMARK(TlsStream)->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

void TlsPingPong(benchmark::State& state) {
    const benchpin::Placement place = benchpin::placement(true);
    benchpin::ScopedPin pin(place.first);
    OurPair ours(true, place);
    PlainPair plain(true, place.second);
    AsioPair asioPair(true, place);
    const std::string body(kPing, 'p');
    const std::string f = frameOf(kPing, 'p');
    std::vector<double> tarn, openssl, asioRates;
    for (auto _ : state) {
        timed(tarn, kRoundTrips, [&] { tarnPingPong(ours, body); });
        timed(openssl, kRoundTrips, [&] { plainPingPong(plain, f); });
        timed(asioRates, kRoundTrips, [&] { asioPingPong(asioPair); });
    }
    using benchpin::median;
    state.counters["tarn_kps"] = median(tarn) / 1000;
    state.counters["openssl_kps"] = median(openssl) / 1000;
    state.counters["asio_kps"] = median(asioRates) / 1000;
    state.counters["ratio_openssl"] = median(tarn) / median(openssl);
    state.counters["ratio_asio"] = median(tarn) / median(asioRates);
    state.SetLabel(place.label() + " " + SSL_get_cipher(plain.client));
}
BENCHMARK(TlsPingPong)->Iterations(kRuns)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
