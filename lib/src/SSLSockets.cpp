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

// ---- TLS I/O shared by both sockets ----

// What a TLS socket's raw I/O works on; all of it belongs to the reactor thread.
struct Link {
    ssl_st* ssl;
    std::atomic<int>& state;
    bool& shutdownRequested;
    bool& readWantsWrite;
    TlsFailure* failure = nullptr;  // where a TLS failure is noted, if anywhere
};

// Notes what OpenSSL says about a failure before its error queue is cleared.
void noteFailure(SSL* ssl, TlsFailure* failure) {
    if (failure == nullptr) return;
    failure->verifyResult = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
    failure->error = ERR_peek_error();
}

// The socket-layer code for a TLS result r <= 0 of a read or write, with the
// errno read right after the call. Re-arms the event the TLS layer waits for,
// since OpenSSL reads and writes the descriptor behind the event layer's back.
int mapFailure(SSL* ssl, SocketHandle handle, int r, int savedErrno, bool* wantsWrite, TlsFailure* failure) {
    switch (SSL_get_error(ssl, r)) {
    case SSL_ERROR_WANT_READ:
        platform::netRearm(handle, platform::FD_READ);
        return -WSAEWOULDBLOCK;
    case SSL_ERROR_WANT_WRITE:
        if (wantsWrite != nullptr) *wantsWrite = true;
        platform::netRearm(handle, platform::FD_WRITE);
        return -WSAEWOULDBLOCK;
    case SSL_ERROR_SSL:
        noteFailure(ssl, failure);
        return -WSAECONNABORTED;
    case SSL_ERROR_SYSCALL:
        // No errno: the transport ended without a TLS close.
        return savedErrno != 0 ? -platform::wsaErrorFromErrno(savedErrno) : -WSAECONNABORTED;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_WANT_CONNECT:
        return -WSAENOTCONN;
    default:
        return r;
    }
}

int tlsWrite(const Link& link, SocketHandle handle, const char* data, int length) {
    if (link.state.load() != TlsState::kEstablished || link.ssl == nullptr) return -WSAENOTCONN;
    if (length <= 0) return 0;
    ERR_clear_error();  // a stale entry would turn would-block into a failure
    errno = 0;
    const int r = SSL_write(link.ssl, data, length);
    const int savedErrno = errno;
    if (r > 0) return r;
    return mapFailure(link.ssl, handle, r, savedErrno, nullptr, link.failure);
}

// `transport` is the socket whose sending side is shut once both TLS closes
// are exchanged at our request.
int tlsRead(const Link& link, SocketHandle handle, char* buffer, int size, ConnectedSocket& transport) {
    const int state = link.state.load();
    if (state == TlsState::kIdle || state == TlsState::kHandshaking || link.ssl == nullptr) return -WSAENOTCONN;
    if (size <= 0) return 0;
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(link.ssl, buffer, size);
    const int savedErrno = errno;
    if (r > 0) return r;
    const int error = SSL_get_error(link.ssl, r);
    if (error != SSL_ERROR_ZERO_RETURN) {
        // A 0 that is no TLS close (a refused certificate seen after the
        // handshake, a transport closed without a close alert) is a failure.
        const int code = mapFailure(link.ssl, handle, r, savedErrno, &link.readWantsWrite, link.failure);
        return (r == 0 && code == 0) ? -WSAECONNABORTED : code;
    }
    // The peer's TLS close: answer it.
    if (state != TlsState::kClosed) {
        ERR_clear_error();
        if (SSL_shutdown(link.ssl) == 1) {
            link.state.store(TlsState::kClosed);
            if (link.shutdownRequested) transport.ConnectedSocket::shutdownSend();
        } else {
            link.state.store(TlsState::kClosing);
        }
        ERR_clear_error();
    }
    return 0;
}

bool peerName(SSL* ssl, TarnString& out) {
    if (ssl == nullptr) return false;
    X509* certificate = SSL_get1_peer_certificate(ssl);
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
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                     "socket without SIGPIPE");
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
    SSL_set_bio(ssl, bio, bio);             // the connection owns the BIO
    return ssl;
}

}  // namespace

// ---- SSLClientSocket ----

SSLClientSocket::SSLClientSocket(SSLContext* context) : context_(context) {
    useLayeredTransport();
    ssl_ = newConnection(context_, getSocket());
}

SSLClientSocket::~SSLClientSocket() { SSL_free(ssl_); }

void SSLClientSocket::renewConnection() {
    SSL_free(ssl_);
    ssl_ = newConnection(context_, getSocket());
}

int SSLClientSocket::connect(const InetAddr& to) {
    return onReactorThread(
        getReactor(),
        [&] {
            const SocketHandle before = getSocket();
            const int result = ClientSocket::connect(to);
            // A connect that failed at once, or found no handle, replaced it.
            if (ssl_ == nullptr || getSocket() != before) renewConnection();
            return result;
        },
        -WSAENOTCONN);
}

void SSLClientSocket::onConnected() {
    state_.store(TlsState::kHandshaking);
    failure_ = TlsFailure{};
    shutdownRequested_ = false;
    readWantsWrite_ = false;
    if (ssl_ == nullptr || SSL_get_fd(ssl_) != getSocket()) renewConnection();
    handshakeStep();
}

void SSLClientSocket::handshakeStep() {
    handshakeWantsWrite_ = false;
    if (ssl_ == nullptr) {
        onError(kTlsHandshakeError);
        return;
    }
    const SocketHandle handle = getSocket();
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r > 0) {
        // OpenSSL finished the handshake whatever the certificate; it is
        // accepted only when it verified against the CA file.
        if (SSL_get_verify_result(ssl_) != X509_V_OK) {
            noteFailure(ssl_, &failure_);
            onError(kTlsHandshakeError);
            return;
        }
        state_.store(TlsState::kEstablished);
        onHandshakeDone();
        // Data may have come with the handshake's last flight: no further
        // event would announce what OpenSSL already holds.
        if (getSocket() == handle) serve();
        return;
    }
    switch (SSL_get_error(ssl_, r)) {
    case SSL_ERROR_WANT_READ:
        platform::netRearm(handle, platform::FD_READ);
        return;
    case SSL_ERROR_WANT_WRITE:
        handshakeWantsWrite_ = true;
        platform::netRearm(handle, platform::FD_WRITE);
        return;
    default:
        noteFailure(ssl_, &failure_);
        ERR_clear_error();
        onError(kTlsHandshakeError);
        return;
    }
}

void SSLClientSocket::serve() {
    const SocketHandle handle = getSocket();
    ConnectedSocket::onReadable();
    if (getSocket() != handle) return;
    ConnectedSocket::onWritable();
}

void SSLClientSocket::onReadable() {
    const int state = state_.load();
    if (state == TlsState::kIdle) return;  // no connection of ours yet
    if (state == TlsState::kHandshaking) {
        handshakeStep();
        return;
    }
    if (interceptRead()) return;
    serve();
}

void SSLClientSocket::onWritable() {
    if (state_.load() == TlsState::kHandshaking && handshakeWantsWrite_) {
        handshakeStep();
        return;
    }
    if (interceptWrite()) return;
    const SocketHandle handle = getSocket();
    ConnectedSocket::onWritable();
    if (readWantsWrite_ && getSocket() == handle) {
        // A read that waited for room to write goes on now.
        readWantsWrite_ = false;
        ConnectedSocket::onReadable();
    }
}

void SSLClientSocket::onClosed(bool graceful) {
    SSL_free(ssl_);
    ssl_ = nullptr;
    const bool shutdownComplete = state_.load() == TlsState::kClosed;
    state_.store(TlsState::kIdle);
    shutdownRequested_ = false;
    handshakeWantsWrite_ = false;
    readWantsWrite_ = false;
    ClientSocket::onClosed(graceful);
    renewConnection();
    onTlsClosed(shutdownComplete);
}

int SSLClientSocket::shutdownSend() {
    return onReactorThread(getReactor(), [this] { return shutdownLocal(); }, 0);
}

int SSLClientSocket::shutdownLocal() {
    if (state_.load() != TlsState::kEstablished || ssl_ == nullptr) return 0;
    shutdownRequested_ = true;
    state_.store(TlsState::kClosing);
    ERR_clear_error();
    if (SSL_shutdown(ssl_) != 0) {
        state_.store(TlsState::kClosed);
        ConnectedSocket::shutdownSend();
    }
    ERR_clear_error();
    return 0;
}

int SSLClientSocket::sendRaw(const char* data, int length) {
    return tlsWrite(Link{ssl_, state_, shutdownRequested_, readWantsWrite_, &failure_}, getSocket(), data, length);
}

int SSLClientSocket::receiveRaw(char* buffer, int size) {
    return tlsRead(Link{ssl_, state_, shutdownRequested_, readWantsWrite_, &failure_}, getSocket(), buffer, size,
                   *this);
}

int SSLClientSocket::sendMessage(const void* data, int length) {
    return onReactorThread(
        getReactor(), [&] { return ClientSocket::sendMessage(data, length); }, -WSAENOTCONN);
}

bool SSLClientSocket::interceptRead() { return false; }
bool SSLClientSocket::interceptWrite() { return false; }
bool SSLClientSocket::onHandshakeDone() { return false; }
bool SSLClientSocket::onTlsClosed(bool /*shutdownComplete*/) { return false; }
bool SSLClientSocket::getPeerName(TarnString& out) {
    return onReactorThread(getReactor(), [&] { return peerName(ssl_, out) ? 1 : 0; }, 0) != 0;
}

// ---- SSLConnectedSocket ----

SSLConnectedSocket::SSLConnectedSocket(SocketHandle socket, const InetAddr& peer, SSLContext* context)
    : ConnectedSocket(socket, peer), context_(context) {
    useLayeredTransport();
    ssl_ = newConnection(context_, getSocket());
    // A final outcome waits for the first event: a close here would destroy
    // the object inside its constructor, and a subclass is not built yet.
    deferred_ = acceptStep();
}

SSLConnectedSocket::~SSLConnectedSocket() { SSL_free(ssl_); }

SSLConnectedSocket::Step SSLConnectedSocket::acceptStep() {
    handshakeWantsWrite_ = false;
    if (ssl_ == nullptr) return Step::kFailed;
    const SocketHandle handle = getSocket();
    ERR_clear_error();
    const int r = SSL_accept(ssl_);
    if (r > 0) return Step::kDone;
    switch (SSL_get_error(ssl_, r)) {
    case SSL_ERROR_WANT_READ:
        platform::netRearm(handle, platform::FD_READ);
        return Step::kPending;
    case SSL_ERROR_WANT_WRITE:
        handshakeWantsWrite_ = true;
        platform::netRearm(handle, platform::FD_WRITE);
        return Step::kPending;
    default:
        ERR_clear_error();
        return Step::kFailed;
    }
}

void SSLConnectedSocket::actOn(Step step) {
    if (step == Step::kPending) return;
    if (step == Step::kFailed) {
        onError(kTlsHandshakeError);
        return;
    }
    handshakeDone_.store(true);
    if (SSL_get_verify_result(ssl_) != X509_V_OK) {
        onError(kTlsHandshakeError);
        return;
    }
    const SocketHandle handle = getSocket();
    state_.store(TlsState::kEstablished);
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
    if (state_.load() == TlsState::kHandshaking) {
        if (!inClose_) actOn(acceptStep());
        return;
    }
    if (interceptRead()) return;
    serve();
}

void SSLConnectedSocket::onWritable() {
    if (state_.load() == TlsState::kHandshaking && handshakeWantsWrite_) {
        actOn(acceptStep());
        return;
    }
    if (interceptWrite()) return;
    const SocketHandle handle = getSocket();
    ConnectedSocket::onWritable();
    if (readWantsWrite_ && !isClosing() && getSocket() == handle) {
        readWantsWrite_ = false;
        ConnectedSocket::onReadable();
    }
}

void SSLConnectedSocket::onClosed(bool graceful) {
    // The base close reads what is left, and a failure there would close
    // again: one close at a time.
    if (inClose_) return;
    inClose_ = true;
    if (onTlsClosed(state_.load() == TlsState::kClosed)) {
        inClose_ = false;
        return;
    }
    ConnectedSocket::onClosed(graceful);  // ends the object: touch nothing after
}

int SSLConnectedSocket::shutdownSend() {
    return onReactorThread(getReactor(), [this] { return shutdownLocal(); }, 0);
}

int SSLConnectedSocket::shutdownLocal() {
    if (state_.load() != TlsState::kEstablished || ssl_ == nullptr) return 0;
    shutdownRequested_ = true;
    state_.store(TlsState::kClosing);
    ERR_clear_error();
    if (SSL_shutdown(ssl_) == 1) {
        state_.store(TlsState::kClosed);
        ConnectedSocket::shutdownSend();
    }
    ERR_clear_error();
    return 0;
}

int SSLConnectedSocket::sendRaw(const char* data, int length) {
    return tlsWrite(Link{ssl_, state_, shutdownRequested_, readWantsWrite_}, getSocket(), data, length);
}

int SSLConnectedSocket::receiveRaw(char* buffer, int size) {
    return tlsRead(Link{ssl_, state_, shutdownRequested_, readWantsWrite_}, getSocket(), buffer, size, *this);
}

int SSLConnectedSocket::sendMessage(const void* data, int length) {
    return onReactorThread(
        getReactor(), [&] { return ConnectedSocket::sendMessage(data, length); }, -WSAENOTCONN);
}

bool SSLConnectedSocket::interceptRead() { return false; }
bool SSLConnectedSocket::interceptWrite() { return false; }
bool SSLConnectedSocket::onHandshakeDone() { return false; }
bool SSLConnectedSocket::onTlsClosed(bool /*shutdownComplete*/) { return false; }
bool SSLConnectedSocket::getPeerName(TarnString& out) {
    return onReactorThread(getReactor(), [&] { return peerName(ssl_, out) ? 1 : 0; }, 0) != 0;
}
bool SSLConnectedSocket::isHandshakeDone() { return handshakeDone_.load(); }

}  // namespace tarn
