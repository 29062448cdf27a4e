// The simulated aggregation server: TLS sessions set up per second (handshake
// with client certificates, then the studio list) and "Update" notifications
// delivered per second, with clients built on the library. Beside each, a
// plain OpenSSL server doing the same work (blocking calls on one thread) for
// the same clients.

#include "SimProcess.h"

#include "aggrsim/Log.h"
#include "aggrsim/Options.h"
#include "aggrsim/Simulator.h"

#include "tarn/InetAddr.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"

#include <benchmark/benchmark.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kSetupBatch = 50;           // sessions set up per iteration
constexpr int kSessions = 200;            // sessions that receive notifications
constexpr int kUpdatesPerIteration = 10;  // notifications per session per iteration
constexpr int kWaitMs = 60000;

const bool kSigpipeIgnored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}();

std::string cert(const char* name) { return simtest::certificatePath(name); }

// What all clients of a run have received; a waiter is woken when a count
// reaches its target.
struct Tally {
    std::atomic<long> lists{0};
    std::atomic<long> updates{0};
    std::atomic<long> listTarget{-1};
    std::atomic<long> updateTarget{-1};
    std::mutex m;
    std::condition_variable cv;

    void bump(std::atomic<long>& count, const std::atomic<long>& target) {
        if (count.fetch_add(1) + 1 == target.load()) {
            std::lock_guard<std::mutex> g(m);
            cv.notify_all();
        }
    }
    bool wait(const std::atomic<long>& count, std::atomic<long>& target, long value) {
        target.store(value);
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(kWaitMs), [&] { return count.load() >= value; });
    }
};

// A library client counting the studio list (its first message) and the rest.
class CountingClient : public tarn::SSLClientSocket {
public:
    CountingClient(tarn::SSLContext* context, Tally& tally) : tarn::SSLClientSocket(context), tally_(tally) {}
    void onMessage(const char*, int) override {
        if (first_) {
            first_ = false;
            tally_.bump(tally_.lists, tally_.listTarget);
        } else {
            tally_.bump(tally_.updates, tally_.updateTarget);
        }
    }

private:
    Tally& tally_;
    bool first_ = true;  // reactor thread
};

std::unique_ptr<tarn::SSLContext> clientContext() {
    return std::make_unique<tarn::SSLContext>(tarn::TarnString(cert("client.pem").c_str()),
                                              tarn::TarnString(cert("client.key").c_str()), tarn::TarnString("pelmo"),
                                              tarn::TarnString(cert("ca.pem").c_str()));
}

// Clients on a reactor of their own; stopped and deleted together.
class ClientSet {
public:
    ClientSet() {
        if (reactor_.start() != 0) throw std::runtime_error("client reactor");
    }
    ~ClientSet() {
        reactor_.stop();
        clients_.clear();
    }
    // Connects n clients to port, each sending `id` (if not empty) once its
    // list came. True when every list arrived.
    bool connect(int port, int n, tarn::SSLContext* context) {
        const long before = tally.lists.load();
        for (int i = 0; i < n; ++i) {
            clients_.push_back(std::make_unique<CountingClient>(context, tally));
            clients_.back()->connect(tarn::InetAddr("127.0.0.1", port));
            clients_.back()->attach(&reactor_);
        }
        return tally.wait(tally.lists, tally.listTarget, before + n);
    }
    void sendAll(const std::string& text) {
        for (auto& c : clients_) c->sendMessage(text.data(), static_cast<int>(text.size()));
    }
    Tally tally;

private:
    tarn::Reactor reactor_;
    std::vector<std::unique_ptr<CountingClient>> clients_;
};

std::string sampleStudioList() {
    std::ifstream in(aggrsim::defaultStudiosFile());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- the simulator, in this process ----

struct SimUnderTest {
    SimUnderTest() : log(aggrsim::Logger::Sink{}) {
        options.certs = simtest::certificateDir();
        options.tlsPort = 0;
        options.httpPort = 0;
        options.speed = 0;
        options.studios = aggrsim::defaultStudiosFile();
        options.playlists = aggrsim::defaultPlaylistsDir();
        sim = std::make_unique<aggrsim::Simulator>(options, log);
        std::string error;
        if (!sim->start(error)) throw std::runtime_error(error);
    }
    aggrsim::Options options;
    aggrsim::Logger log;  // lines dropped
    std::unique_ptr<aggrsim::Simulator> sim;
};

// ---- the peer: plain OpenSSL, blocking, one thread ----

// Accepts connections, completes each handshake (client certificate
// required) and sends the framed studio list; keeps the connections.
class PlainServer {
public:
    PlainServer() {
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_file(ctx_, cert("server.pem").c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx_, cert("server.key").c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_load_verify_locations(ctx_, cert("ca.pem").c_str(), nullptr) != 1)
            throw std::runtime_error("plain server credentials");
        SSL_CTX_set_cipher_list(ctx_, "HIGH:!aNULL:!MD5");
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE, nullptr);
        SSL_CTX_set_client_CA_list(ctx_, SSL_load_client_CA_file(cert("ca.pem").c_str()));
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listener_, 128) != 0)
            throw std::runtime_error("plain server listen");
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        const std::string list = sampleStudioList();
        const uint32_t word = htonl(static_cast<uint32_t>(list.size()));
        framedList_ = std::string(reinterpret_cast<const char*>(&word), 4) + list;
        thread_ = std::thread([this] { acceptLoop(); });
    }
    ~PlainServer() {
        stop_ = true;
        thread_.join();
        closeAll();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    int port() const { return port_; }

    // Writes `payload` framed, `times` over, to every connection (blocking).
    void sendToAll(const std::string& payload, int times) {
        const uint32_t word = htonl(static_cast<uint32_t>(payload.size()));
        const std::string frame = std::string(reinterpret_cast<const char*>(&word), 4) + payload;
        std::lock_guard<std::mutex> g(m_);
        for (int t = 0; t < times; ++t)
            for (auto& c : conns_) SSL_write(c.ssl, frame.data(), static_cast<int>(frame.size()));
    }
    void closeAll() {
        std::lock_guard<std::mutex> g(m_);
        for (auto& c : conns_) {
            SSL_free(c.ssl);
            ::close(c.fd);
        }
        conns_.clear();
    }

private:
    struct Conn {
        int fd;
        SSL* ssl;
    };
    void acceptLoop() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval tv{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1 || SSL_get_verify_result(ssl) != X509_V_OK) {
                SSL_free(ssl);
                ::close(fd);
                continue;
            }
            SSL_write(ssl, framedList_.data(), static_cast<int>(framedList_.size()));
            std::lock_guard<std::mutex> g(m_);
            conns_.push_back({fd, ssl});
        }
    }

    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    int port_ = 0;
    std::string framedList_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<Conn> conns_;  // guarded by m_ once accepted
};

// ---- benchmarks ----

void reportRate(benchmark::State& state, const char* name, long count) {
    state.counters[name] = benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsRate);
}

void BM_SessionsSetUp_Simulator(benchmark::State& state) {
    SimUnderTest server;
    auto context = clientContext();
    long sessions = 0;
    for (auto _ : state) {
        auto clients = std::make_unique<ClientSet>();
        if (!clients->connect(server.sim->tlsPort(), kSetupBatch, context.get())) {
            state.SkipWithError("studio lists missing");
            break;
        }
        sessions += kSetupBatch;
        state.PauseTiming();
        clients.reset();
        state.ResumeTiming();
    }
    reportRate(state, "sessions/s", sessions);
}

void BM_SessionsSetUp_PlainOpenSSL(benchmark::State& state) {
    PlainServer server;
    auto context = clientContext();
    long sessions = 0;
    for (auto _ : state) {
        auto clients = std::make_unique<ClientSet>();
        if (!clients->connect(server.port(), kSetupBatch, context.get())) {
            state.SkipWithError("studio lists missing");
            break;
        }
        sessions += kSetupBatch;
        state.PauseTiming();
        clients.reset();
        server.closeAll();
        state.ResumeTiming();
    }
    reportRate(state, "sessions/s", sessions);
}

void BM_NotificationsDelivered_Simulator(benchmark::State& state) {
    SimUnderTest server;
    auto context = clientContext();
    ClientSet clients;
    if (!clients.connect(server.sim->tlsPort(), kSessions, context.get())) {
        state.SkipWithError("studio lists missing");
        return;
    }
    clients.sendAll("STA-01");
    // Every session has its studio once one update reaches all of them.
    for (int tries = 0; tries < 100 && clients.tally.updates.load() < kSessions; ++tries) {
        const long before = clients.tally.updates.load();
        server.sim->execute("update STA-01");
        clients.tally.wait(clients.tally.updates, clients.tally.updateTarget, before + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    long delivered = 0;
    for (auto _ : state) {
        const long before = clients.tally.updates.load();
        for (int i = 0; i < kUpdatesPerIteration; ++i) server.sim->execute("update STA-01");
        const long target = before + static_cast<long>(kSessions) * kUpdatesPerIteration;
        if (!clients.tally.wait(clients.tally.updates, clients.tally.updateTarget, target)) {
            state.SkipWithError("notifications missing");
            break;
        }
        delivered += static_cast<long>(kSessions) * kUpdatesPerIteration;
    }
    reportRate(state, "notifications/s", delivered);
}

void BM_NotificationsDelivered_PlainOpenSSL(benchmark::State& state) {
    PlainServer server;
    auto context = clientContext();
    ClientSet clients;
    if (!clients.connect(server.port(), kSessions, context.get())) {
        state.SkipWithError("studio lists missing");
        return;
    }
    long delivered = 0;
    for (auto _ : state) {
        const long before = clients.tally.updates.load();
        server.sendToAll("Update", kUpdatesPerIteration);
        const long target = before + static_cast<long>(kSessions) * kUpdatesPerIteration;
        if (!clients.tally.wait(clients.tally.updates, clients.tally.updateTarget, target)) {
            state.SkipWithError("notifications missing");
            break;
        }
        delivered += static_cast<long>(kSessions) * kUpdatesPerIteration;
    }
    reportRate(state, "notifications/s", delivered);
}

}  // namespace

BENCHMARK(BM_SessionsSetUp_Simulator)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SessionsSetUp_PlainOpenSSL)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_NotificationsDelivered_Simulator)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_NotificationsDelivered_PlainOpenSSL)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
