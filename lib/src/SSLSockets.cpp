#include "tarn/SSLSockets.h"

#include "tarn/Reactor.h"
#include "tarn/platform/NetEvents.h"
#include "tarn/platform/WinSockErrors.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <functional>
#include <thread>

#include <sys/socket.h>

namespace tarn {

using platform::WSAECONNABORTED;
using platform::WSAENOTCONN;
using platform::WSAEWOULDBLOCK;

namespace {

constexpr size_t kReadAheadBytes = 64 * 1024;

// ---- running a call on the reactor thread ----

// Runs call on the reactor's thread (Reactor::runInLoop), or right here when
// no reactor is attached; ifDropped when the reactor released the call
// unrun. A call carried to the reactor's thread that raises is reported to
// the caller as ifDropped, and the reactor goes on; one run here raises to
// the caller.
int onReactorThread(Reactor* reactor, const std::function<int()>& call, int ifDropped) {
    if (reactor == nullptr) return call();
    int result = ifDropped;
    const std::thread::id caller = std::this_thread::get_id();
    reactor->runInLoop([&] {
        if (std::this_thread::get_id() == caller) {
            result = call();
            return;
        }
        try {
            result = call();
        } catch (...) {
            result = ifDropped;
        }
    });
    return result;
}

// ---- the connection object ----

// The socket BIO's write with MSG_NOSIGNAL: a send to a peer that has gone
// must not end the process with SIGPIPE.
int sendWithoutSignal(BIO* bio, const char* data, int length) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    errno = 0;
    const auto n = static_cast<int>(::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL));
    BIO_clear_retry_flags(bio);
    if (n <= 0 && BIO_sock_should_retry(n) != 0) BIO_set_retry_write(bio);
    return n;
}

// OpenSSL's socket BIO with that write; made once, kept for the process.
const BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        const BIO_METHOD* socket = BIO_s_socket();
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "socket without SIGPIPE");
        if (m == nullptr) return m;
        BIO_meth_set_write(m, sendWithoutSignal);
        BIO_meth_set_read(m, BIO_meth_get_read(socket));
        BIO_meth_set_puts(m, BIO_meth_get_puts(socket));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(socket));
        BIO_meth_set_create(m, BIO_meth_get_create(socket));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(socket));
        return m;
    }();
    return method;
}

// A connection object from the context, reading and writing handle itself
// (SSL_set_fd, with a write that raises no SIGPIPE). Null when OpenSSL
// cannot make one.
SSL* newConnection(SSLContext* context, SocketHandle handle) {
    if (context == nullptr || context->getContext() == nullptr || socketMethod() == nullptr) return nullptr;
    SSL* ssl = SSL_new(context->getContext());
    if (ssl == nullptr) return nullptr;
    // Read ahead: one read takes in as many records as have come, not one
    // header and one body at a time. What OpenSSL holds is served because the
    // frame reader runs until TLS would block.
    SSL_set_read_ahead(ssl, 1);
    SSL_set_default_read_buffer_len(ssl, kReadAheadBytes);
    if (handle < 0) return ssl;
    BIO* bio = BIO_new(socketMethod());
    if (bio == nullptr) {
        SSL_free(ssl);
        return nullptr;
    }
    BIO_set_fd(bio, handle, BIO_NOCLOSE);  // the socket owns the handle
    SSL_set_bio(ssl, bio, bio);            // the connection owns the BIO
    return ssl;
}

}  // namespace

// ---- TlsCore ----

TlsCore::~TlsCore() { SSL_free(ssl_); }

void TlsCore::renew(SocketHandle handle) {
    SSL_free(ssl_);
    ssl_ = newConnection(context_, handle);
}

void TlsCore::release() {
    SSL_free(ssl_);
    ssl_ = nullptr;
    shutdownRequested_ = false;
    handshakeWantsWrite_ = false;
    readWantsWrite_ = false;
}

bool TlsCore::isOn(SocketHandle handle) const { return ssl_ != nullptr && SSL_get_fd(ssl_) == handle; }

void TlsCore::resetForConnection() {
    shutdownRequested_ = false;
    readWantsWrite_ = false;
}

void TlsCore::noteFailure() {
    failure_.verifyResult = ssl_ != nullptr ? SSL_get_verify_result(ssl_) : X509_V_OK;
    failure_.error = ERR_peek_error();
}

TlsCore::Step TlsCore::handshakeStep(SocketHandle handle, bool client) {
    handshakeWantsWrite_ = false;
    if (ssl_ == nullptr) return Step::kFailed;
    ERR_clear_error();
    const int r = client ? SSL_connect(ssl_) : SSL_accept(ssl_);
    if (r > 0) return Step::kDone;
    switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ: platform::netRearm(handle, platform::FD_READ); return Step::kPending;
        case SSL_ERROR_WANT_WRITE:
            handshakeWantsWrite_ = true;
            platform::netRearm(handle, platform::FD_WRITE);
            return Step::kPending;
        default:
            noteFailure();
            ERR_clear_error();
            return Step::kFailed;
    }
}

bool TlsCore::peerVerified() {
    // OpenSSL finishes the handshake whatever the certificate.
    if (SSL_get_verify_result(ssl_) == X509_V_OK) return true;
    noteFailure();
    return false;
}

int TlsCore::mapFailure(SocketHandle handle, int r, int savedErrno, bool* wantsWrite) {
    // OpenSSL reads and writes the descriptor behind the event layer's back:
    // the event the TLS layer waits for is re-armed here.
    switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ: platform::netRearm(handle, platform::FD_READ); return -WSAEWOULDBLOCK;
        case SSL_ERROR_WANT_WRITE:
            if (wantsWrite != nullptr) *wantsWrite = true;
            platform::netRearm(handle, platform::FD_WRITE);
            return -WSAEWOULDBLOCK;
        case SSL_ERROR_SSL: noteFailure(); return -WSAECONNABORTED;
        case SSL_ERROR_SYSCALL:
            // No errno: the transport ended without a TLS close.
            return savedErrno != 0 ? -platform::wsaErrorFromErrno(savedErrno) : -WSAECONNABORTED;
        case SSL_ERROR_ZERO_RETURN: return 0;
        case SSL_ERROR_WANT_CONNECT: return -WSAENOTCONN;
        default: return r;
    }
}

int TlsCore::write(SocketHandle handle, const char* data, int length) {
    if (state_.load() != TlsState::kEstablished || ssl_ == nullptr) return -WSAENOTCONN;
    if (length <= 0) return 0;
    ERR_clear_error();  // a stale entry would turn would-block into a failure
    errno = 0;
    const int r = SSL_write(ssl_, data, length);
    const int savedErrno = errno;
    if (r > 0) return r;
    return mapFailure(handle, r, savedErrno, nullptr);
}

int TlsCore::read(SocketHandle handle, char* buffer, int size, ConnectedSocket& transport) {
    const int state = state_.load();
    if (state == TlsState::kIdle || state == TlsState::kHandshaking || ssl_ == nullptr) return -WSAENOTCONN;
    if (size <= 0) return 0;
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(ssl_, buffer, size);
    const int savedErrno = errno;
    if (r > 0) return r;
    if (SSL_get_error(ssl_, r) != SSL_ERROR_ZERO_RETURN) {
        // A 0 that is no TLS close (a refused certificate seen after the
        // handshake, a transport closed without a close alert) is a failure.
        const int code = mapFailure(handle, r, savedErrno, &readWantsWrite_);
        return (r == 0 && code == 0) ? -WSAECONNABORTED : code;
    }
    // The peer's TLS close: answer it. Having received theirs, OpenSSL
    // answers 1 once ours is out too.
    if (state != TlsState::kClosed) {
        ERR_clear_error();
        if (SSL_shutdown(ssl_) == 1) {
            state_.store(TlsState::kClosed);
            if (shutdownRequested_) transport.ConnectedSocket::shutdownSend();
        } else {
            state_.store(TlsState::kClosing);
        }
        ERR_clear_error();
    }
    return 0;
}

// SSL_shutdown answers 1 when both closes are exchanged, 0 when ours went out
// and the peer's is still to come, and below 0 when the close failed or would
// block. The connection is established here, so the peer's close has not
// been read yet and 0 is the usual answer; the peer's close, when read()
// meets it, completes ours there (its SSL_shutdown answers 1). Both sockets
// agree on 1 (closed, the transport's sending side shut) and on 0 (closing).
// They need different things below 0: the client gives the TLS close up, as
// its contract says (closed unless OpenSSL answers 0), so closedOnFailure
// closes and shuts; the accepted socket counts as closed only once both
// closes are exchanged, so it stays closing and its transport is left to the
// peer's close or to its next read. Neither side retries an alert that would
// block.
void TlsCore::close(ConnectedSocket& transport, bool closedOnFailure) {
    if (state_.load() != TlsState::kEstablished || ssl_ == nullptr) return;
    shutdownRequested_ = true;
    state_.store(TlsState::kClosing);
    ERR_clear_error();
    const int r = SSL_shutdown(ssl_);
    if (r == 1 || (r < 0 && closedOnFailure)) {
        state_.store(TlsState::kClosed);
        transport.ConnectedSocket::shutdownSend();
    }
    ERR_clear_error();
}

bool TlsCore::peerName(TarnString& out) const {
    if (ssl_ == nullptr) return false;
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    if (certificate == nullptr) return false;
    char* line = X509_NAME_oneline(X509_get_subject_name(certificate), nullptr, 0);
    X509_free(certificate);
    if (line == nullptr) return false;
    const TarnString subject(line);
    OPENSSL_free(line);
    const int at = subject.find(TarnString("CN="));
    out = at >= 0 ? TarnString(subject.c_str() + at + 3) : subject;
    return true;
}

// ---- SSLClientSocket ----

SSLClientSocket::SSLClientSocket(SSLContext* context) : tls_(context, TlsState::kIdle) {
    useLayeredTransport();
    tls_.renew(getSocket());
}

SSLClientSocket::~SSLClientSocket() = default;  // tls_ frees the TLS object, then the base closes the handle

int SSLClientSocket::connect(const InetAddr& to) {
    return onReactorThread(
        getReactor(),
        [&] {
            const SocketHandle before = getSocket();
            const int result = ClientSocket::connect(to);
            // A connect that failed at once, or found no handle, replaced it.
            if (!tls_.hasConnection() || getSocket() != before) tls_.renew(getSocket());
            return result;
        },
        -WSAENOTCONN);
}

void SSLClientSocket::onConnected() {
    tls_.setState(TlsState::kHandshaking);
    tls_.clearFailure();
    tls_.resetForConnection();
    if (!tls_.isOn(getSocket())) tls_.renew(getSocket());
    handshakeStep();
}

void SSLClientSocket::handshakeStep() {
    const SocketHandle handle = getSocket();
    const TlsCore::Step step = tls_.handshakeStep(handle, true);
    if (step == TlsCore::Step::kPending) return;
    if (step == TlsCore::Step::kFailed || !tls_.peerVerified()) {
        onError(kTlsHandshakeError);
        return;
    }
    tls_.setState(TlsState::kEstablished);
    onHandshakeDone();
    // Data may have come with the handshake's last flight: no further
    // event would announce what OpenSSL already holds.
    if (getSocket() == handle) serve();
}

void SSLClientSocket::serve() {
    const SocketHandle handle = getSocket();
    ConnectedSocket::onReadable();
    if (getSocket() != handle) return;
    ConnectedSocket::onWritable();
}

void SSLClientSocket::onReadable() {
    const int state = tls_.state();
    if (state == TlsState::kIdle) return;  // no connection of ours yet
    if (state == TlsState::kHandshaking) {
        handshakeStep();
        return;
    }
    if (interceptRead()) return;
    serve();
}

void SSLClientSocket::onWritable() {
    if (tls_.state() == TlsState::kHandshaking && tls_.handshakeWantsWrite()) {
        handshakeStep();
        return;
    }
    if (interceptWrite()) return;
    const SocketHandle handle = getSocket();
    ConnectedSocket::onWritable();
    if (tls_.readWantsWrite() && getSocket() == handle) {
        // A read that waited for room to write goes on now.
        tls_.clearReadWantsWrite();
        ConnectedSocket::onReadable();
    }
}

void SSLClientSocket::onClosed(bool graceful) {
    const bool shutdownComplete = tls_.state() == TlsState::kClosed;
    tls_.release();
    tls_.setState(TlsState::kIdle);
    ClientSocket::onClosed(graceful);
    tls_.renew(getSocket());
    onTlsClosed(shutdownComplete);
}

int SSLClientSocket::shutdownSend() {
    return onReactorThread(
        getReactor(), [this] { return shutdownLocal(); }, 0);
}

int SSLClientSocket::shutdownLocal() {
    tls_.close(*this, true);
    return 0;
}

int SSLClientSocket::sendRaw(const char* data, int length) { return tls_.write(getSocket(), data, length); }

int SSLClientSocket::receiveRaw(char* buffer, int size) { return tls_.read(getSocket(), buffer, size, *this); }

int SSLClientSocket::sendMessage(const void* data, int length) {
    return onReactorThread(
        getReactor(), [&] { return ClientSocket::sendMessage(data, length); }, -WSAENOTCONN);
}

bool SSLClientSocket::interceptRead() { return false; }
bool SSLClientSocket::interceptWrite() { return false; }
bool SSLClientSocket::onHandshakeDone() { return false; }
bool SSLClientSocket::onTlsClosed(bool /*shutdownComplete*/) { return false; }
bool SSLClientSocket::getPeerName(TarnString& out) {
    return onReactorThread(
               getReactor(), [&] { return tls_.peerName(out) ? 1 : 0; }, 0) != 0;
}

// ---- SSLConnectedSocket ----

SSLConnectedSocket::SSLConnectedSocket(SocketHandle socket, const InetAddr& peer, SSLContext* context)
    : ConnectedSocket(socket, peer), tls_(context, TlsState::kHandshaking) {
    useLayeredTransport();
    tls_.renew(getSocket());
    // A final outcome waits for the first event: a close here would destroy
    // the object inside its constructor, and a subclass is not built yet.
    deferred_ = tls_.handshakeStep(getSocket(), false);
}

SSLConnectedSocket::~SSLConnectedSocket() = default;  // tls_ frees the TLS object, then the base closes the handle

void SSLConnectedSocket::actOn(Step step) {
    if (step == Step::kPending) return;
    if (step == Step::kFailed) {
        onError(kTlsHandshakeError);
        return;
    }
    handshakeDone_.store(true);
    if (!tls_.peerVerified()) {
        onError(kTlsHandshakeError);
        return;
    }
    const SocketHandle handle = getSocket();
    tls_.setState(TlsState::kEstablished);
    onHandshakeDone();
    if (!isClosing() && getSocket() == handle) serve();
}

int SSLConnectedSocket::handleEvents() {
    if (deferred_ == Step::kPending) return ConnectedSocket::handleEvents();
    const SocketHandle handle = getSocket();
    platform::NetworkEvents events;
    platform::enumNetworkEvents(handle, events);
    if (isClosing()) return 0;
    // The constructor's outcome is acted on as a read event (onReadable), so
    // that it runs inside the usual dispatch. A failure is all there is.
    if (deferred_ == Step::kFailed) events = platform::NetworkEvents{};
    events.lNetworkEvents |= platform::FD_READ;
    events.iErrorCode[platform::FD_READ_BIT] = 0;
    dispatchEvents(handle, events);
    return 0;
}

void SSLConnectedSocket::serve() {
    const SocketHandle handle = getSocket();
    ConnectedSocket::onReadable();
    if (isClosing() || getSocket() != handle) return;
    ConnectedSocket::onWritable();
}

void SSLConnectedSocket::onReadable() {
    if (deferred_ != Step::kPending) {
        const Step step = deferred_;
        deferred_ = Step::kPending;
        actOn(step);
        return;
    }
    if (tls_.state() == TlsState::kHandshaking) {
        if (!inClose_) actOn(tls_.handshakeStep(getSocket(), false));
        return;
    }
    if (interceptRead()) return;
    serve();
}

void SSLConnectedSocket::onWritable() {
    if (tls_.state() == TlsState::kHandshaking && tls_.handshakeWantsWrite()) {
        actOn(tls_.handshakeStep(getSocket(), false));
        return;
    }
    if (interceptWrite()) return;
    const SocketHandle handle = getSocket();
    ConnectedSocket::onWritable();
    if (tls_.readWantsWrite() && !isClosing() && getSocket() == handle) {
        tls_.clearReadWantsWrite();
        ConnectedSocket::onReadable();
    }
}

void SSLConnectedSocket::onClosed(bool graceful) {
    // The base close reads what is left, and a failure there would close
    // again: one close at a time.
    if (inClose_) return;
    inClose_ = true;
    if (onTlsClosed(tls_.state() == TlsState::kClosed)) {
        inClose_ = false;
        return;
    }
    ConnectedSocket::onClosed(graceful);  // ends the object: touch nothing after
}

int SSLConnectedSocket::shutdownSend() {
    return onReactorThread(
        getReactor(), [this] { return shutdownLocal(); }, 0);
}

int SSLConnectedSocket::shutdownLocal() {
    tls_.close(*this, false);
    return 0;
}

int SSLConnectedSocket::sendRaw(const char* data, int length) { return tls_.write(getSocket(), data, length); }

int SSLConnectedSocket::receiveRaw(char* buffer, int size) { return tls_.read(getSocket(), buffer, size, *this); }

int SSLConnectedSocket::sendMessage(const void* data, int length) {
    return onReactorThread(
        getReactor(), [&] { return ConnectedSocket::sendMessage(data, length); }, -WSAENOTCONN);
}

bool SSLConnectedSocket::interceptRead() { return false; }
bool SSLConnectedSocket::interceptWrite() { return false; }
bool SSLConnectedSocket::onHandshakeDone() { return false; }
bool SSLConnectedSocket::onTlsClosed(bool /*shutdownComplete*/) { return false; }
bool SSLConnectedSocket::getPeerName(TarnString& out) {
    return onReactorThread(
               getReactor(), [&] { return tls_.peerName(out) ? 1 : 0; }, 0) != 0;
}
bool SSLConnectedSocket::isHandshakeDone() { return handshakeDone_.load(); }

}  // namespace tarn
