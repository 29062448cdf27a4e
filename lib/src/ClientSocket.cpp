#include "tarn/ClientSocket.h"

#include "tarn/Reactor.h"
#include "tarn/platform/WinSockErrors.h"

#include <netinet/in.h>

namespace tarn {

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
    if (reactor == nullptr) return connectHere(to);
    // The network-event layer wants every call on a watched handle made on
    // the reactor's thread. A call the ending loop released unrun connects
    // here: the loop no longer serves the handle.
    int result = 0;
    bool ran = false;
    reactor->runInLoop([&] {
        result = connectHere(to);
        ran = true;
    });
    return ran ? result : connectHere(to);
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
