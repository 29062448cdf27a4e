#include "tarn/ClientSocket.h"

#include "tarn/Reactor.h"
#include "tarn/Task.h"
#include "tarn/platform/Event.h"
#include "tarn/platform/WinSockErrors.h"

#include <netinet/in.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarn {

namespace {

// True when a call from this thread must travel to the reactor's thread: the
// network-event layer wants every call on a watched handle made there.
bool mustForward(Reactor* reactor) {
    if (reactor == nullptr || !reactor->isRunning() || reactor->isStopped()) return false;
    return reactor->getOsThreadId() != static_cast<uint32_t>(::syscall(SYS_gettid));
}

}  // namespace

// Carries a connect to the reactor thread; the caller waits on doneEvent.
// Discarded (the loop ended first), it connects on whichever thread discards.
class ClientSocket::ConnectRequest final : public Task {
public:
    ConnectRequest(ClientSocket& socket, const InetAddr& to) : socket_(socket), to_(to) {}
    void execute() override {
        result = socket_.connectHere(to_);
        done.set();  // the caller may free this request at once: nothing after
    }
    void discard() override { execute(); }
    int result = 0;
    platform::Event done{false, false};

private:
    ClientSocket& socket_;
    InetAddr to_;
};

ClientSocket::ClientSocket() : ConnectedSocket(platform::netSocket(true), InetAddr(0u, 0)) {}

ClientSocket::~ClientSocket() {
    const SocketHandle handle = swapHandle(platform::kInvalidSocket);
    if (handle >= 0) platform::netClose(handle);
}

void ClientSocket::onConnected() {
    connecting_.store(false);
    connected_.store(true);
}

void ClientSocket::onClosed(bool /*graceful*/) { renewSocket(); }

void ClientSocket::renewSocket() {
    // Opened before the old handle is closed: Linux would hand out the same
    // number again, and callers tell connections apart by it.
    const SocketHandle fresh = platform::netSocket(true);
    const SocketHandle old = swapHandle(fresh);
    if (old >= 0) platform::netClose(old);
    clearReceiveState();
    clearSendState();
    connected_.store(false);
    connecting_.store(false);
}

int ClientSocket::connect(const InetAddr& to) {
    Reactor* reactor = getReactor();
    if (!mustForward(reactor)) return connectHere(to);
    ConnectRequest request(*this, to);
    reactor->post(&request);
    request.done.wait(platform::kInfinite);
    return request.result;
}

int ClientSocket::connectHere(const InetAddr& to) {
    if (connected_.load()) return -1;
    if (connecting_.exchange(true)) return -1;
    // Address 0 would reach the local machine on Linux; it stands for a host
    // name that could not be resolved.
    if (to.getConnectAddress() == 0 || !to.isPortValid()) {
        connecting_.store(false);
        return -platform::WSAEADDRNOTAVAIL;
    }
    if (getSocket() < 0) {
        const SocketHandle fresh = platform::netSocket(true);
        if (fresh < 0) {
            connecting_.store(false);
            return fresh;
        }
        const SocketHandle old = swapHandle(fresh);
        if (old >= 0) platform::netClose(old);
    }
    sockaddr_in address{};
    to.toSockAddr(address);
    const int r = platform::netConnect(getSocket(), address);
    if (r == 0 || r == -platform::WSAEWOULDBLOCK) return 0;
    // Failed at once, and no event will say so: back to idle on a new handle.
    renewSocket();
    return r;
}

}  // namespace tarn
