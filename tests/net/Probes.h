#pragma once

// Socket subclasses that record what the reactor thread hands them, into a
// journal that outlives them (the default close deletes a ConnectedSocket).

#include "SocketTestUtil.h"

#include "tarn/ClientSocket.h"
#include "tarn/ConnectedSocket.h"

#include <string>
#include <vector>

namespace socktest {

struct Journal {
    std::mutex m;
    std::vector<std::string> messages;
    std::vector<int> messageReadEvent;  // reads begun when each message came
    std::vector<int> messageCapacity;   // receive buffer capacity then
    std::vector<std::string> calls;     // "connected", "closed:1", "error:-10053", ...
    int readsBegun = 0;
    int readsDone = 0;
    bool destroyed = false;

    template <typename F>
    auto with(F f) {
        std::lock_guard<std::mutex> g(m);
        return f();
    }
    void call(const std::string& c) {
        with([&] { calls.push_back(c); });
    }
    size_t messageCount() {
        return with([&] { return messages.size(); });
    }
    int reads() {
        return with([&] { return readsDone; });
    }
    bool isDestroyed() {
        return with([&] { return destroyed; });
    }
    std::vector<std::string> callList() {
        return with([&] { return calls; });
    }
    bool hasCall(const std::string& c) {
        return with([&] {
            for (const auto& x : calls)
                if (x == c) return true;
            return false;
        });
    }
};

/// Records every call, then does what its base does.
template <typename Base>
class Probe : public Base {
public:
    template <typename... Args>
    explicit Probe(Journal& j, Args&&... args) : Base(std::forward<Args>(args)...), j_(j) {}
    ~Probe() override {
        j_.with([&] { j_.destroyed = true; });
    }
    void onReadable() override {
        j_.with([&] { ++j_.readsBegun; });
        Base::onReadable();
        j_.with([&] { ++j_.readsDone; });
    }
    void onConnected() override {
        j_.call("connected");
        Base::onConnected();
    }
    void onClosed(bool graceful) override {
        j_.call(graceful ? "closed:1" : "closed:0");
        Base::onClosed(graceful);
    }
    void onError(int code) override {
        j_.call("error:" + std::to_string(code));
        Base::onError(code);
    }
    void onMessage(const char* data, int length) override {
        const int capacity = this->receiveBuffer().capacity();
        j_.with([&] {
            j_.messages.emplace_back(data, static_cast<size_t>(length));
            j_.messageReadEvent.push_back(j_.readsBegun);
            j_.messageCapacity.push_back(capacity);
        });
        Base::onMessage(data, length);
    }
    using Base::dispatchEvents;

private:
    Journal& j_;
};

/// A ConnectedSocket on the server end of a loopback connection whose client
/// end is a plain blocking socket.
class ServerProbe : public Probe<tarn::ConnectedSocket> {
public:
    ServerProbe(Journal& j, int handle) : Probe<tarn::ConnectedSocket>(j, handle, tarn::InetAddr(0u, 0)) {}
};

using ClientProbe = Probe<tarn::ClientSocket>;

/// A plain client connected to a ConnectedSocket: `peer` is the plain end,
/// `socket` the library's (owned by itself once attached: the default close
/// deletes it).
struct Adopted {
    int peer = -1;
    ServerProbe* socket = nullptr;
    Adopted(Journal& j, int peerReceiveBuffer = 0) {
        uint16_t port = 0;
        int l = plainListener(port);
        peer = plainConnect(port, peerReceiveBuffer);
        // Accepted as a ListeningSocket accepts: non-blocking, and known to
        // the network-event layer as connected before its first selection.
        const int handle = readyWithin(l, POLLIN, kWaitMs) ? tarn::platform::netAccept(l, nullptr) : -1;
        closeFd(l);
        EXPECT_GE(handle, 0);
        if (peerReceiveBuffer > 0) {
            // Small on both ends, so a peer that does not read blocks sends soon.
            ::setsockopt(handle, SOL_SOCKET, SO_SNDBUF, &peerReceiveBuffer, sizeof peerReceiveBuffer);
        }
        socket = new ServerProbe(j, handle);
    }
    ~Adopted() { closeFd(peer); }
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
};

}  // namespace socktest
