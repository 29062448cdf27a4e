#pragma once

#include "tarn/BaseSocket.h"
#include "tarn/InetAddr.h"

#include <atomic>
#include <memory>

namespace tarn {

class Reactor;

/// What the user of a listening socket implements. Called on the listening
/// socket's reactor thread.
class AcceptHandler {
public:
    virtual ~AcceptHandler() = default;
    /// A new connection: non-zero takes it (the handler owns the handle from
    /// then on, typically by building a ConnectedSocket on it); 0 refuses it
    /// and the listening socket closes the handle.
    virtual int onAccept(SocketHandle socket, const InetAddr& peer) = 0;
};

/// A TCP socket bound to a local address, accepting one connection per accept
/// event and handing it to its AcceptHandler.
///
/// Threads: construction and listen on any thread before the socket is
/// watched; everything else on the watching reactor's thread. The handler is
/// not owned and must outlive the socket.
class ListeningSocket : public BaseSocket {
public:
    /// Pause before accepting again when the process or system ran out of
    /// descriptors or buffers.
    static constexpr int kAcceptBackoffMs = 100;

    /// Keeps the address and the handler and opens a TCP handle; neither
    /// bound nor listening yet.
    ListeningSocket(const InetAddr& local, AcceptHandler* handler);
    /// Closes the handle and cancels a pending accept retry. The socket must
    /// no longer be watched.
    ~ListeningSocket() override;

    SocketHandle getSocket() const override;
    /// On an accept event without error, accepts one connection; with an
    /// error, replaces the handle with a new one listening with backlog 10.
    /// Other events are ignored. 0.
    int handleEvents() override;
    /// Nothing.
    void onReactorStop() override;

    /// Sets SO_REUSEADDR (a restarted server binds at once), binds to the
    /// local address (0 = every interface) and listens: 0, or the negated
    /// error of the step that failed (-10049 for a port outside 0..65535); the
    /// handle stays open and can be bound again.
    int listen(int backlog);

    /// Records the watching reactor (not owned), used to retry accepting after
    /// running out of descriptors, and adds the socket to it.
    int attach(Reactor* reactor);
    /// Removes the socket from the attached reactor and forgets the link.
    int detach();

    const InetAddr& getLocalAddress() const { return local_; }
    /// The port bound now (host order), or -1 when not bound.
    int getBoundPort() const;
    /// Whether an accept retry is waiting out its pause. Any thread.
    bool isAcceptRetryPending() const { return retryScheduled_.load(); }

protected:
    /// Acts on events fetched for the handle: see handleEvents.
    void dispatchEvents(const platform::NetworkEvents& events);

private:
    class RetryTask;

    void acceptOne();
    void recreate();
    // Opens a fresh handle in place of the current one and closes that.
    void replaceHandle();
    int bindAndListen(SocketHandle handle, int backlog);

    AcceptHandler* handler_;            // not owned
    std::atomic<SocketHandle> socket_;  // owned
    InetAddr local_;
    std::atomic<Reactor*> reactor_{nullptr};  // not owned
    std::unique_ptr<RetryTask> retry_;
    std::atomic<bool> retryScheduled_{false};
};

}  // namespace tarn
