#pragma once

// A client of the simulated aggregation server built on the library: an
// SSLClientSocket that records what it receives. Free of any test framework;
// header-only.
//
// Threads: the callbacks run on the thread of the reactor the client is
// attached to; the accessors and waits may be called from any thread.

#include "tarn/InetAddr.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"
#include "tarn/Task.h"
#include "tarn/TarnString.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace simtest {

/// Runs `fn` on the reactor's thread and waits for it (up to timeoutMs).
/// False when the reactor dropped it or the time ran out.
inline bool runOnReactor(tarn::Reactor& reactor, std::function<void()> fn, int timeoutMs = 10000) {
    struct Call final : tarn::Task {
        std::function<void()> fn;
        std::promise<bool> done;
        void execute() override {
            fn();
            done.set_value(true);
        }
        void discard() override { done.set_value(false); }
    };
    auto call = std::make_shared<Call>();
    call->fn = std::move(fn);
    std::future<bool> result = call->done.get_future();
    reactor.post(call.get());
    if (result.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        // The task may still run later: keep it alive for good.
        new std::shared_ptr<Call>(call);
        return false;
    }
    return result.get();
}

/// A client context presenting `cert`/`key` (key opened with "pelmo") and
/// trusting `ca`; all paths of PEM files.
inline std::unique_ptr<tarn::SSLContext> clientContext(const std::string& cert, const std::string& key,
                                                       const std::string& ca) {
    return std::make_unique<tarn::SSLContext>(tarn::TarnString(cert.c_str()), tarn::TarnString(key.c_str()),
                                              tarn::TarnString("pelmo"), tarn::TarnString(ca.c_str()));
}

class SimClient : public tarn::SSLClientSocket {
public:
    /// The context is not owned and must outlive the client.
    explicit SimClient(tarn::SSLContext* context) : tarn::SSLClientSocket(context) {}

    /// Connects to 127.0.0.1:port and attaches to `reactor` (not owned; it
    /// must run until the client is detached or the reactor stopped). The
    /// result of connect.
    int start(tarn::Reactor* reactor, int port) {
        const int r = connect(tarn::InetAddr("127.0.0.1", port));
        sockaddr_in local{};
        socklen_t len = sizeof local;
        if (::getsockname(getSocket(), reinterpret_cast<sockaddr*>(&local), &len) == 0)
            localPort_ = ntohs(local.sin_port);
        attach(reactor);
        return r;
    }

    /// The local port of the connection made by start(): the simulator's
    /// log names it as "peer=127.0.0.1:<port>".
    int localPort() const { return localPort_; }
    std::string peerText() const { return "peer=127.0.0.1:" + std::to_string(localPort_) + " "; }

    bool onHandshakeDone() override {
        std::lock_guard<std::mutex> g(m_);
        handshake_ = true;
        cv_.notify_all();
        return true;
    }
    void onMessage(const char* data, int length) override {
        {
            std::lock_guard<std::mutex> g(m_);
            messages_.emplace_back(data, static_cast<size_t>(length));
            cv_.notify_all();
        }
        tarn::SSLClientSocket::onMessage(data, length);
    }
    void onError(int code) override {
        {
            std::lock_guard<std::mutex> g(m_);
            errors_.push_back(code);
            cv_.notify_all();
        }
        tarn::SSLClientSocket::onError(code);
    }
    bool onTlsClosed(bool shutdownComplete) override {
        std::lock_guard<std::mutex> g(m_);
        ++closes_;
        closeComplete_ = shutdownComplete;
        cv_.notify_all();
        return true;
    }

    /// Waits until the handshake is done.
    bool waitHandshake(int ms) {
        return waitUntil([&] { return handshake_; }, ms);
    }
    /// Waits until at least n messages have come.
    bool waitMessages(size_t n, int ms) {
        return waitUntil([&] { return messages_.size() >= n; }, ms);
    }
    /// Waits until a message equal to `payload` has come at index `from` or later.
    bool waitMessage(const std::string& payload, int ms, size_t from = 0) {
        return waitUntil(
            [&] {
                for (size_t i = from; i < messages_.size(); ++i)
                    if (messages_[i] == payload) return true;
                return false;
            },
            ms);
    }
    /// Waits until the connection has ended (an error or a close).
    bool waitEnded(int ms) {
        return waitUntil([&] { return !errors_.empty() || closes_ > 0; }, ms);
    }

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> g(m_);
        return messages_;
    }
    size_t messageCount() {
        std::lock_guard<std::mutex> g(m_);
        return messages_.size();
    }
    /// Messages equal to `payload`.
    size_t count(const std::string& payload) {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (const auto& m : messages_) n += m == payload ? 1 : 0;
        return n;
    }
    std::vector<int> errors() {
        std::lock_guard<std::mutex> g(m_);
        return errors_;
    }
    int closes() {
        std::lock_guard<std::mutex> g(m_);
        return closes_;
    }
    bool closeComplete() {
        std::lock_guard<std::mutex> g(m_);
        return closeComplete_;
    }
    bool handshakeDone() {
        std::lock_guard<std::mutex> g(m_);
        return handshake_;
    }

private:
    template <typename Pred>
    bool waitUntil(Pred done, int ms) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(ms), done);
    }

    int localPort_ = 0;
    std::mutex m_;
    std::condition_variable cv_;
    bool handshake_ = false;             // guarded by m_
    std::vector<std::string> messages_;  // guarded by m_
    std::vector<int> errors_;            // guarded by m_
    int closes_ = 0;                     // guarded by m_
    bool closeComplete_ = false;         // guarded by m_
};

}  // namespace simtest
