#pragma once

// Certificates, outside processes, a running reactor, recording TLS sockets
// and bounded waits for the TLS tests. Every peer is on 127.0.0.1; every wait
// has a time-out.

#include "../support/TestSupport.h"
#include "tarn/ListeningSocket.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"

#include <gtest/gtest.h>

#include <sys/types.h>

struct ssl_st;
struct ssl_ctx_st;

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tlstest {

constexpr int kWaitMs = 10000;

/// The folder of test credentials, made once per build folder by
/// scripts/make-certs (and a few extra files, see TlsTestUtil.cpp).
const std::string& certDir();
/// certDir() + "/" + name.
std::string certPath(const char* name);
inline tarn::TarnString certFile(const char* name) { return tarn::TarnString(certPath(name).c_str()); }

/// The client's built-in pass phrase, as make-certs encrypts the client key.
constexpr const char* kPassPhrase = "pelmo";

/// testsupport::eventually with this tree's default wait.
template <typename Pred>
bool eventually(Pred done, int ms = kWaitMs) {
    return testsupport::eventually(done, ms);
}

/// A body whose bytes depend on a seed and their position.
std::string pattern(int seed, size_t n);
/// A 4-byte big-endian length prefix followed by the body.
std::string frame(const std::string& body);

/// An outside program with its standard input on a pipe and its standard
/// output and error together on another. Killed (TERM, then KILL) when the
/// object goes, at the latest.
class Process {
public:
    explicit Process(const std::vector<std::string>& args);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    /// Waits up to ms until the output holds needle.
    bool waitForOutput(const std::string& needle, int ms = kWaitMs);
    /// Everything the program has written so far.
    std::string output();
    /// Writes all of data to its input within ms.
    bool write(const std::string& data, int ms = kWaitMs);
    void closeInput();
    /// Waits up to ms for the program to end; its wait status, or -1.
    int waitExit(int ms);
    /// Ends the program (TERM, then KILL after 2 s) and reaps it.
    void kill();

private:
    void pump(int ms);

    pid_t pid_ = -1;
    int in_ = -1;   // its standard input (write end)
    int out_ = -1;  // its output (read end)
    std::string output_;
    bool exited_ = false;
};

/// `openssl s_server` on 127.0.0.1 and an ephemeral port, for one connection.
/// extra: more options (client certificate demands and the like).
class OpensslServer {
public:
    explicit OpensslServer(const std::vector<std::string>& extra = {});
    /// The port it listens on, or 0 when it did not start.
    uint16_t port() const { return port_; }
    Process& process() { return *process_; }

private:
    std::unique_ptr<Process> process_;
    uint16_t port_ = 0;
};

/// A reactor whose loop runs until stop() or the object's end.
class RunningReactor {
public:
    RunningReactor() { EXPECT_EQ(0, reactor_.start()); }
    ~RunningReactor() { stop(); }
    void stop() { reactor_.stop(); }
    tarn::Reactor* get() { return &reactor_; }

private:
    tarn::Reactor reactor_;
};

/// What a recording socket saw, written on the reactor thread, read by the test.
class Journal {
public:
    void add(const std::string& entry);
    void message(const char* data, int length);
    std::vector<std::string> entries();
    std::vector<std::string> messages();
    size_t messageCount();
    bool has(const std::string& entry);
    /// Waits until an entry equal to `entry` appears.
    bool waitFor(const std::string& entry, int ms = kWaitMs);
    bool waitForMessages(size_t n, int ms = kWaitMs);
    /// The entries joined by commas, for failure messages.
    std::string text();

private:
    std::mutex m_;
    std::vector<std::string> entries_;
    std::vector<std::string> messages_;
};

/// A TLS socket that records its callbacks ("handshake", "error:-25",
/// "closed:1", "tlsclosed:1", each "...@state" where the TLS state matters)
/// and then does what its base does.
template <typename Base>
class Probe : public Base {
public:
    template <typename... Args>
    explicit Probe(Journal& journal, Args&&... args) : Base(std::forward<Args>(args)...), j_(journal) {}
    ~Probe() override { j_.add("destroyed"); }

    bool onHandshakeDone() override {
        reactorThread_.store(std::this_thread::get_id());
        j_.add("handshake@" + std::to_string(this->getTlsState()));
        if (onHandshake) onHandshake(*this);
        return Base::onHandshakeDone();
    }
    void onError(int code) override {
        j_.add("error:" + std::to_string(code) + "@" + std::to_string(this->getTlsState()));
        Base::onError(code);
    }
    void onClosed(bool graceful) override {
        j_.add(std::string("closed:") + (graceful ? "1" : "0") + "@" + std::to_string(this->getTlsState()));
        Base::onClosed(graceful);
    }
    bool onTlsClosed(bool complete) override {
        j_.add(std::string("tlsclosed:") + (complete ? "1" : "0"));
        const bool base = Base::onTlsClosed(complete);
        return keepOnTlsClose ? true : base;
    }
    void onReadable() override {
        ++reads_;
        Base::onReadable();
    }
    bool interceptRead() override {
        if (interceptReads) {
            j_.add("intercepted");
            return true;
        }
        return Base::interceptRead();
    }
    void onMessage(const char* data, int length) override {
        j_.message(data, length);
        Base::onMessage(data, length);
    }

    int sendRaw(const char* data, int length) override {
        countThread();
        return Base::sendRaw(data, length);
    }
    int receiveRaw(char* buffer, int size) override {
        countThread();
        return Base::receiveRaw(buffer, size);
    }

    /// Runs on the reactor thread inside onHandshakeDone, when set.
    std::function<void(Probe&)> onHandshake;
    /// onTlsClosed says the close was handled (an accepted socket then lives on).
    std::atomic<bool> keepOnTlsClose{false};
    /// interceptRead takes every read event after the handshake.
    std::atomic<bool> interceptReads{false};
    /// Read events handled so far.
    int reads() const { return reads_.load(); }
    /// Raw sends and receives made after the handshake on a thread other than
    /// the one that finished the handshake (the reactor thread).
    int offThreadCalls() const { return offThread_.load(); }

private:
    void countThread() {
        const std::thread::id reactor = reactorThread_.load();
        if (reactor != std::thread::id() && reactor != std::this_thread::get_id()) ++offThread_;
    }

    Journal& j_;
    std::atomic<std::thread::id> reactorThread_{};
    std::atomic<int> offThread_{0};
    std::atomic<int> reads_{0};
};

using ClientProbe = Probe<tarn::SSLClientSocket>;
using ServerProbe = Probe<tarn::SSLConnectedSocket>;

/// Our TLS server: a listening socket on 127.0.0.1 and an ephemeral port whose
/// accepted connections become ServerProbes on the same reactor, each with a
/// journal of its own. Sockets that have not ended themselves are deleted by
/// the destructor, which must run after the reactor has stopped.
class OurServer : public tarn::AcceptHandler {
public:
    OurServer(tarn::Reactor* reactor, tarn::SSLContext* context);
    ~OurServer() override;

    int onAccept(tarn::SocketHandle socket, const tarn::InetAddr& peer) override;

    uint16_t port() const { return port_; }
    /// Waits until n connections were accepted.
    bool waitForAccepted(size_t n, int ms = kWaitMs);
    Journal& journal(size_t i);
    /// The i-th accepted socket; only while its journal has no "destroyed".
    ServerProbe* socket(size_t i);
    /// Runs on the reactor thread in each accepted socket's onHandshakeDone.
    /// Set before the first connection.
    std::function<void(ServerProbe&)> onHandshake;
    /// Accepted sockets say their TLS close was handled. Set before the first connection.
    bool keepOnTlsClose = false;

private:
    tarn::Reactor* reactor_;
    tarn::SSLContext* context_;
    std::unique_ptr<tarn::ListeningSocket> listener_;
    uint16_t port_ = 0;
    std::mutex m_;
    std::vector<std::unique_ptr<Journal>> journals_;
    std::vector<ServerProbe*> sockets_;  // each owned by itself until it ends
};

/// A peer written with plain OpenSSL (blocking calls) on a thread of its own,
/// for one connection on 127.0.0.1. The script gets the connected SSL object;
/// reads and writes on it give up after kWaitMs. Server: listens on an
/// ephemeral port and accepts one connection. Client: connects to a port.
class PlainTlsPeer {
public:
    using Script = std::function<void(ssl_st*)>;
    /// A server with the given certificate and key files (unencrypted keys).
    static std::unique_ptr<PlainTlsPeer> server(const char* cert, const char* key, Script script);
    /// A client trusting ca.pem, presenting no certificate.
    static std::unique_ptr<PlainTlsPeer> client(uint16_t port, Script script);
    ~PlainTlsPeer();

    uint16_t port() const { return port_; }
    /// Waits until the script has returned.
    bool waitDone(int ms = kWaitMs);
    /// False when the handshake of the peer failed.
    bool handshakeOk() const { return handshakeOk_.load(); }

private:
    PlainTlsPeer() = default;
    void run(bool isServer, Script script);

    ssl_ctx_st* ctx_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> done_{false};
    std::atomic<bool> handshakeOk_{false};
};

/// SSL_read until n bytes have come (blocking, with the socket's time-out).
bool readExact(ssl_st* ssl, std::string& out, size_t n);
/// SSL_write of all of data.
bool writeAll(ssl_st* ssl, const std::string& data);
/// Reads one frame's body.
bool readFrame(ssl_st* ssl, std::string& body);

/// The address of 127.0.0.1:port.
tarn::InetAddr loopback(uint16_t port);

}  // namespace tlstest
