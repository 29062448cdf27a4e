#pragma once

#include "tarn/ClientSocket.h"
#include "tarn/ConnectedSocket.h"
#include "tarn/SSLContext.h"
#include "tarn/TarnString.h"

#include <atomic>

// The OpenSSL connection type (SSL is this struct).
struct ssl_st;

namespace tarn {

/// The TLS state of a TLS socket.
struct TlsState {
    static constexpr int kIdle = 0;         // client only: no handshake begun
    static constexpr int kHandshaking = 1;  // handshake under way
    static constexpr int kEstablished = 2;  // handshake done, peer certificate accepted
    static constexpr int kClosing = 3;      // one TLS close sent or received
    static constexpr int kClosed = 4;       // both TLS closes exchanged
};

/// The TLS socket error for a failed handshake or a refused peer certificate.
constexpr int kTlsHandshakeError = -25;

/// Why a TLS connection last failed, as OpenSSL reported it at the time (the
/// error queue itself is cleared before the socket's callbacks run).
struct TlsFailure {
    long verifyResult = 0;    ///< X509_V_OK (0), or why the peer certificate was refused
    unsigned long error = 0;  ///< the first OpenSSL error code, 0 when there was none
};

/// The TLS half of a TLS socket, shared by SSLClientSocket and
/// SSLConnectedSocket: the connection object over the socket's handle, the
/// TLS state, one handshake step, the raw read and write with their error
/// mappings, the close alert and the peer's name. It calls no callback of
/// the socket: it gives outcomes back and the socket acts on them.
///
/// Threads: the reactor thread of the owning socket, except state(), which
/// any thread may read. Owns its connection object (OpenSSL reads and writes
/// the handle itself); neither the handle nor the context is owned.
class TlsCore {
public:
    /// The outcome of a handshake step.
    enum class Step { kPending, kDone, kFailed };

    /// No connection object yet (renew() makes one).
    TlsCore(SSLContext* context, int state) : context_(context), state_(state) {}
    /// Frees the connection object.
    ~TlsCore();
    TlsCore(const TlsCore&) = delete;
    TlsCore& operator=(const TlsCore&) = delete;

    /// Frees the connection object and makes a new one on handle (none when
    /// OpenSSL cannot make one).
    void renew(SocketHandle handle);
    /// Frees the connection object and clears the step and close flags; the
    /// state is the caller's to set.
    void release();
    bool hasConnection() const { return ssl_ != nullptr; }
    /// True when there is a connection object and it reads and writes handle.
    bool isOn(SocketHandle handle) const;

    /// One step of SSL_connect (client) or SSL_accept on handle: kDone once
    /// the handshake has finished (the peer certificate is judged by
    /// peerVerified()); kPending with the event it waits for re-armed, a wait
    /// to write remembered (handshakeWantsWrite()); kFailed, the failure
    /// noted, without a connection object too. Never changes the state.
    Step handshakeStep(SocketHandle handle, bool client);
    /// The last step waits for room to write.
    bool handshakeWantsWrite() const { return handshakeWantsWrite_; }
    /// Whether the peer certificate verified against the context's CA file;
    /// a refusal is noted as the failure.
    bool peerVerified();

    /// SSL_write, as the TLS sockets' sendRaw.
    int write(SocketHandle handle, const char* data, int length);
    /// SSL_read, as the TLS sockets' receiveRaw. The peer's TLS close is
    /// answered with ours; once both are exchanged after a close() of ours,
    /// the sending side of transport (the owning socket) is shut.
    int read(SocketHandle handle, char* buffer, int size, ConnectedSocket& transport);
    /// A read that waits for room to write: the socket reads again on its
    /// next write event.
    bool readWantsWrite() const { return readWantsWrite_; }
    void clearReadWantsWrite() { readWantsWrite_ = false; }
    /// Our TLS close, in state established only (else nothing): state
    /// closing and the close alert sent; then closed, with the sending side
    /// of transport shut, when OpenSSL says both closes are exchanged, or,
    /// with closedOnFailure, when the close failed (see the definition).
    void close(ConnectedSocket& transport, bool closedOnFailure);
    /// Clears the close request and a read's wait to write: a new connection.
    void resetForConnection();

    /// The peer certificate's subject name, as the TLS sockets' getPeerName.
    bool peerName(TarnString& out) const;

    int state() const { return state_.load(); }
    void setState(int state) { state_.store(state); }
    SSLContext* context() const { return context_; }
    const TlsFailure& failure() const { return failure_; }
    void clearFailure() { failure_ = TlsFailure{}; }

private:
    // Notes what OpenSSL says about a failure before its error queue is cleared.
    void noteFailure();
    // The socket-layer code for a result r <= 0 of SSL_read or SSL_write.
    int mapFailure(SocketHandle handle, int r, int savedErrno, bool* wantsWrite);

    ssl_st* ssl_ = nullptr;           // owned
    SSLContext* context_;             // not owned
    std::atomic<int> state_;          // TlsState; written on the reactor thread
    bool shutdownRequested_ = false;  // our close was asked for
    bool handshakeWantsWrite_ = false;
    bool readWantsWrite_ = false;
    TlsFailure failure_;
};

/// A client socket speaking TLS: the framed-message layer of ConnectedSocket
/// (length prefix, send queue, frame reader) runs unchanged on top, since only
/// the raw send, the raw receive and the half-close are replaced.
///
///   idle --connect event--> handshaking --verified--> established
///     ^                          |                        | shutdownSend
///     |                          | -25                    v
///     +------ any close: new handle, new TLS object --- closing --> closed
///
/// The handshake runs from the socket's network events. Messages can be sent
/// only once established (else -10057). The server's certificate must verify
/// against the context's CA file, or onError(-25) follows and onHandshakeDone
/// never comes; the host name is not checked. OpenSSL reads and writes the
/// handle itself; its writes raise no SIGPIPE.
///
/// Threads: every TLS call runs on the thread of the reactor that watches the
/// socket. sendMessage, shutdownSend, connect and getPeerName called on
/// another thread while the attached reactor (attach()) runs are carried to
/// that thread and waited for, so never call them from a thread the reactor
/// thread waits for. A socket watched without attach() must be called on the
/// reactor thread only; one not watched yet, by one thread at a time. The
/// context is not owned and must outlive the socket.
class SSLClientSocket : public ClientSocket {
public:
    /// A ClientSocket in state idle with a TLS object on its handle.
    explicit SSLClientSocket(SSLContext* context);
    /// Frees the TLS object, then the base closes the handle.
    ~SSLClientSocket() override;

    /// In state handshaking: one handshake step. Otherwise, unless
    /// interceptRead() says it dealt with the event, the frame reader (until
    /// TLS would block) and then the send-queue drain.
    void onReadable() override;
    /// Unless interceptWrite(), the send-queue drain. A handshake step that
    /// would block on writing goes on here.
    void onWritable() override;
    /// State handshaking and the first handshake step. The ClientSocket flags
    /// stay as they are: connecting until the close.
    void onConnected() override;
    /// Whatever the argument: frees the TLS object, renews the handle as
    /// ClientSocket does, makes a new TLS object from the same context, state
    /// idle, then onTlsClosed(the state was closed).
    void onClosed(bool graceful) override;
    /// The TLS close, in state established only (else 0 and nothing): state
    /// closing and the close alert sent; unless OpenSSL answers 0 (the peer's
    /// close is still to come, and its arrival completes the close), the
    /// state is closed and the transport's sending side is shut. 0.
    int shutdownSend() override;
    /// SSL_write: -10057 in any state but established; a positive count;
    /// -10035 when TLS would block (the same frame is retried); -10053 for a
    /// TLS failure; 0 after the peer's close; or the transport's error.
    int sendRaw(const char* data, int length) override;
    /// SSL_read: -10057 before established; a positive count; -10035 when TLS
    /// would block; 0 for the peer's TLS close (answered with ours: state
    /// closed, or closing); -10053 for a TLS failure or a transport closed
    /// without a TLS close; or the transport's error.
    int receiveRaw(char* buffer, int size) override;
    /// As ConnectedSocket; on the reactor thread (see the class comment).
    int sendMessage(const void* data, int length) override;
    /// As ClientSocket (the outcome comes as onConnected, then the
    /// handshake); the TLS object follows a handle replaced here. -10057 when
    /// the reactor stopped before it could run the call.
    int connect(const InetAddr& to) override;

    /// True when the subclass has dealt with the read event itself. false.
    virtual bool interceptRead();
    /// The same for the write event. false.
    virtual bool interceptWrite();
    /// The handshake is done and the peer certificate accepted. The result
    /// is not used. false.
    virtual bool onHandshakeDone();
    /// After a close, once the handle and TLS object are renewed;
    /// shutdownComplete tells whether both TLS closes were exchanged. The
    /// result is not used here. false.
    virtual bool onTlsClosed(bool shutdownComplete);
    /// The common name of the peer certificate's subject (with anything that
    /// follows it in the subject line), or the whole subject line when it has
    /// no CN; false, out untouched, without a peer certificate.
    virtual bool getPeerName(TarnString& out);

    /// The TLS state (TlsState). Any thread.
    int getTlsState() const { return tls_.state(); }
    SSLContext* getContext() const { return tls_.context(); }
    /// What the last TLS failure of this connection was (a refused server
    /// certificate, an alert from the server, a broken record); cleared when
    /// a connection is made. Reactor thread, e.g. from onError.
    const TlsFailure& getTlsFailure() const { return tls_.failure(); }

private:
    void handshakeStep();
    // Frame reader, then drain, while the connection stays the same.
    void serve();
    int shutdownLocal();

    TlsCore tls_;  // reactor thread, but for its state
};

/// The server side of a TLS connection, built by an accept handler on an
/// accepted handle. Starts in state handshaking with the first handshake step;
/// its outcome, when it is already final, is acted on at the socket's first
/// event, never inside the constructor. Like ConnectedSocket it ends itself on
/// a close or an error, unless onTlsClosed handles the close.
///
/// Threads and ownership as SSLClientSocket.
class SSLConnectedSocket : public ConnectedSocket {
public:
    SSLConnectedSocket(SocketHandle socket, const InetAddr& peer, SSLContext* context);
    /// Frees the TLS object, then the base closes the handle.
    ~SSLConnectedSocket() override;

    /// As ConnectedSocket, with a handshake outcome left by the constructor
    /// acted on first.
    int handleEvents() override;
    /// In state handshaking: one handshake step; otherwise, unless
    /// interceptRead(), the frame reader and then the send-queue drain.
    void onReadable() override;
    /// Unless interceptWrite(), the send-queue drain. A handshake step that
    /// would block on writing goes on here.
    void onWritable() override;
    /// Unless onTlsClosed(state is closed) returns true, the ConnectedSocket
    /// close (which ends the object).
    void onClosed(bool graceful) override;
    /// The TLS close, in state established only: state closing, close alert
    /// sent; once both closes are exchanged, state closed and the transport's
    /// sending side shut. 0.
    int shutdownSend() override;
    /// As SSLClientSocket.
    int sendRaw(const char* data, int length) override;
    int receiveRaw(char* buffer, int size) override;
    int sendMessage(const void* data, int length) override;

    virtual bool interceptRead();
    virtual bool interceptWrite();
    /// The handshake is done and the client certificate (if the context asks
    /// for one) accepted. false.
    virtual bool onHandshakeDone();
    /// A close came; shutdownComplete tells whether both TLS closes were
    /// exchanged. true means the subclass handled the close and the object is
    /// not ended. false.
    virtual bool onTlsClosed(bool shutdownComplete);
    virtual bool getPeerName(TarnString& out);
    /// True once SSL_accept has succeeded (even if the certificate was then
    /// refused).
    virtual bool isHandshakeDone();

    /// The TLS state (TlsState). Any thread.
    int getTlsState() const { return tls_.state(); }
    SSLContext* getContext() const { return tls_.context(); }

private:
    using Step = TlsCore::Step;
    void actOn(Step step);
    void serve();
    int shutdownLocal();

    TlsCore tls_;  // reactor thread, but for its state
    std::atomic<bool> handshakeDone_{false};
    Step deferred_ = Step::kPending;  // the constructor's final outcome, acted on at the first event
    bool inClose_ = false;            // a close is under way; reactor thread
};

}  // namespace tarn
