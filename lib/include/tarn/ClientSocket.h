#pragma once

#include "tarn/ConnectedSocket.h"

#include <atomic>

namespace tarn {

/// The outgoing side: owns its handle, connects without blocking and, when a
/// connection ends, replaces the handle with a fresh one, so the same object
/// can connect again. It never ends itself: onClosed and onError return it to
/// idle.
///
///   idle --connect--> connecting --connect event--> connected
///     ^                    |                            |
///     +---- onClosed (close event, failed connect, error) ----+
///
/// Threads: as ConnectedSocket. connect may be called from any thread: on a
/// socket attached to a running reactor, a call from another thread is carried
/// out on the reactor's thread while the caller waits. A socket watched
/// without attach() must be connected on the reactor's thread.
class ClientSocket : public ConnectedSocket {
public:
    /// Peer 0.0.0.0:0 and a new non-blocking TCP handle. When no handle can
    /// be opened, getSocket() is invalid and connect tries again.
    ClientSocket();
    /// Closes the handle (once).
    ~ClientSocket() override;

    /// connecting := false, connected := true.
    void onConnected() override;
    /// Replaces the handle (the new one is opened before the old one is
    /// closed, so its number differs), clears connected and connecting, the
    /// frame being received, write-blocked and the send queue (queued frames
    /// are freed). Nothing left on the old connection is read.
    void onClosed(bool graceful) override;

    /// Starts connecting to `to`: -1 while connecting or connected; 0 when the
    /// connect is under way or done (the outcome comes as onConnected or
    /// onError); -10049 for address 0 (an unresolved host) or a port outside
    /// 0..65535, leaving the socket idle; any other failure is returned at
    /// once, and the handle is replaced so the next connect can work.
    virtual int connect(const InetAddr& to);

    bool isConnected() const { return connected_.load(); }
    bool isConnecting() const { return connecting_.load(); }

protected:
    /// The ClientSocket close: new handle, flags and connection state cleared.
    void renewSocket();

private:
    // connect on the calling thread.
    int connectHere(const InetAddr& to);

    std::atomic<bool> connected_{false};
    std::atomic<bool> connecting_{false};
};

}  // namespace tarn
