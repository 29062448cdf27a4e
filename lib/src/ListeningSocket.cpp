#include "tarn/ListeningSocket.h"

#include "tarn/Reactor.h"
#include "tarn/Task.h"
#include "tarn/platform/WinSockErrors.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace tarn {

namespace {

constexpr int kBacklogAfterError = 10;

}  // namespace

// Looks for queued connections again after a back-off. Owned by the listening
// socket; runs on its reactor's thread.
class ListeningSocket::RetryTask final : public Task {
public:
    explicit RetryTask(ListeningSocket& owner) : owner_(owner) {}
    void execute() override {
        owner_.retryScheduled_.store(false);
        // Recorded again at the next look while connections are queued.
        platform::netRearm(owner_.getSocket(), platform::FD_ACCEPT, true);
    }
    void discard() override { owner_.retryScheduled_.store(false); }

private:
    ListeningSocket& owner_;
};

ListeningSocket::ListeningSocket(const InetAddr& local, AcceptHandler* handler)
    : handler_(handler), socket_(platform::kInvalidSocket), local_(local), retry_(std::make_unique<RetryTask>(*this)) {
    const int handle = platform::netSocket(true);
    if (handle >= 0) socket_.store(handle);
}

ListeningSocket::~ListeningSocket() {
    Reactor* reactor = reactor_.load();
    if (retryScheduled_.load() && reactor != nullptr) reactor->cancelScheduledTask(retry_.get());
    const SocketHandle handle = socket_.exchange(platform::kInvalidSocket);
    if (handle >= 0) platform::netClose(handle);
}

SocketHandle ListeningSocket::getSocket() const { return socket_.load(); }

void ListeningSocket::onReactorStop() {}

int ListeningSocket::attach(Reactor* reactor) {
    reactor_.store(reactor);
    return reactor != nullptr ? reactor->addSocket(this) : 0;
}

int ListeningSocket::detach() {
    Reactor* reactor = reactor_.load();
    if (reactor == nullptr) return 0;
    const int result = reactor->removeSocket(this);
    if (retryScheduled_.load()) reactor->cancelScheduledTask(retry_.get());
    retryScheduled_.store(false);
    reactor_.store(nullptr);
    return result;
}

int ListeningSocket::listen(int backlog) {
    SocketHandle handle = getSocket();
    if (handle < 0) {
        handle = platform::netSocket(true);
        if (handle < 0) return handle;
        socket_.store(handle);
    }
    return bindAndListen(handle, backlog);
}

int ListeningSocket::bindAndListen(SocketHandle handle, int backlog) {
    if (!local_.isPortValid()) return -platform::WSAEADDRNOTAVAIL;
    const int one = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    local_.toSockAddr(address);
    if (::bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return -platform::wsaLastError();
    }
    return platform::netListen(handle, backlog);
}

int ListeningSocket::getBoundPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const SocketHandle handle = getSocket();
    if (handle < 0 || ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    if (address.sin_port == 0) return -1;
    return ntohs(address.sin_port);
}

int ListeningSocket::handleEvents() {
    platform::NetworkEvents events;
    platform::enumNetworkEvents(getSocket(), events);
    dispatchEvents(events);
    return 0;
}

void ListeningSocket::dispatchEvents(const platform::NetworkEvents& events) {
    if ((events.lNetworkEvents & platform::FD_ACCEPT) == 0) return;
    if (events.iErrorCode[platform::FD_ACCEPT_BIT] == 0) {
        acceptOne();
    } else {
        recreate();
    }
}

void ListeningSocket::acceptOne() {
    sockaddr_in from{};
    const int handle = platform::netAccept(getSocket(), &from);
    if (handle < 0) {
        // A failed accept is never handed on. Out of descriptors or buffers,
        // the queued connection waits for a retry after a pause rather than
        // for the next client, and nothing spins meanwhile.
        Reactor* reactor = reactor_.load();
        if ((handle == -platform::WSAEMFILE || handle == -platform::WSAENOBUFS) && reactor != nullptr &&
            !retryScheduled_.exchange(true)) {
            SystemTime when = SystemTime::now();
            when += kAcceptBackoffMs;
            reactor->schedule(when, retry_.get());
        }
        return;
    }
    const InetAddr peer(from.sin_addr.s_addr, ntohs(from.sin_port));
    int taken = 0;
    try {
        taken = handler_ != nullptr ? handler_->onAccept(handle, peer) : 0;
    } catch (...) {
        platform::netClose(handle);  // refused by failing
        throw;
    }
    if (taken == 0) platform::netClose(handle);
}

void ListeningSocket::recreate() {
    replaceHandle();
    const SocketHandle handle = getSocket();
    if (handle >= 0) bindAndListen(handle, kBacklogAfterError);  // outcome not reported
}

void ListeningSocket::replaceHandle() {
    // The new handle is opened while the old is still open, so it gets a
    // different number; it can bind only once the old one is closed.
    const int fresh = platform::netSocket(true);
    const SocketHandle old = socket_.exchange(fresh >= 0 ? fresh : platform::kInvalidSocket);
    if (old >= 0) platform::netClose(old);
}

}  // namespace tarn
