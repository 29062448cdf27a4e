#include "app/AggrSession.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <chrono>

#include "external/EventLog.h"
#include "framework/Afx.h"
#include "tarn/InetAddr.h"
#include "tarn/Task.h"
#include "tarn/TarnString.h"
#include "tarn/platform/Waitable.h"
#include "tarn/platform/WinSockErrors.h"

namespace {

// Keepalive: a peer that vanished is found within about a minute.
constexpr int kKeepIdleSeconds = 30;
constexpr int kKeepIntervalSeconds = 10;
constexpr int kKeepCount = 3;
constexpr int kUserTimeoutMs = 60000;

// What became of one posted send, reported once: the send's code when it ran
// on the reactor thread, or kSendDiscarded when the reactor stopped first
// (the queued call is then destroyed unrun, and this with it).
class SendReport {
public:
    SendReport(long ticket, std::shared_ptr<SendOutcomes> outcomes) : ticket_(ticket), outcomes_(std::move(outcomes)) {}
    SendReport(const SendReport&) = delete;
    SendReport& operator=(const SendReport&) = delete;
    ~SendReport() {
        if (!reported_ && outcomes_) outcomes_->Add(ticket_, kSendDiscarded);
    }
    void Ran(int code) {
        reported_ = true;
        if (outcomes_) outcomes_->Add(ticket_, code);
    }

private:
    long ticket_;
    std::shared_ptr<SendOutcomes> outcomes_;
    bool reported_ = false;
};

// The certificate checks that mean "not signed by the CA we trust".
bool IsUntrustedIssuer(long verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_SIGNATURE_FAILURE: return true;
        default: return false;
    }
}

// The alerts a server sends when it does not accept our certificate.
bool IsClientCertificateAlert(unsigned long error) {
    if (ERR_GET_LIB(error) != ERR_LIB_SSL) return false;
    switch (ERR_GET_REASON(error)) {
        case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
        case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
        case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
        case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
        case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
        case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED: return true;
        default: return false;
    }
}

}  // namespace

String DescribeLinkFailure(int code, const tarn::TlsFailure& tls) {
    String text;
    if (tls.verifyResult != X509_V_OK) {
        if (IsUntrustedIssuer(tls.verifyResult)) return "server certificate not signed by the configured CA";
        text.Format("server certificate refused (%s)", X509_verify_cert_error_string(tls.verifyResult));
        return text;
    }
    if (tls.error != 0 && IsClientCertificateAlert(tls.error)) return "client certificate refused";
    if (code == tarn::kTlsHandshakeError || tls.error != 0) {
        const char* reason = tls.error != 0 ? ERR_reason_error_string(tls.error) : nullptr;
        if (code != tarn::kTlsHandshakeError) {
            text.Format("TLS failure (%s)", reason != nullptr ? reason : "unknown");
        } else if (reason != nullptr) {
            text.Format("TLS handshake failed (%s)", reason);
        } else {
            text = "TLS handshake failed";
        }
        return text;
    }
    namespace ws = tarn::platform;
    switch (-code) {
        case 0: return "the server closed the connection";
        case ws::WSAECONNREFUSED: return "connection refused";
        case ws::WSAECONNRESET: return "connection reset";
        case ws::WSAECONNABORTED: return "connection aborted";
        // The keepalive and the user time-out give up after about a minute.
        case ws::WSAETIMEDOUT: return "no reply for 60 s";
        case ws::WSAEHOSTUNREACH: return "host unreachable";
        case ws::WSAENETUNREACH: return "network unreachable";
        case ws::WSAENOTCONN: return "not connected";
        default: break;
    }
    text.Format("socket error %d", -code);
    return text;
}

void SendOutcomes::Add(long ticket, int code) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_items.push_back(Outcome{ticket, code});
}

std::vector<SendOutcomes::Outcome> SendOutcomes::TakeAll() {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Outcome> taken;
    taken.swap(m_items);
    return taken;
}

// ---- AggrSocket ----

AggrSocket::AggrSocket(tarn::SSLContext* context) : tarn::SSLClientSocket(context) {}

AggrSocket::~AggrSocket() = default;

void AggrSocket::onReactorStop() {}

void AggrSocket::NoteFailure(int code) {
    const String text = DescribeLinkFailure(code, getTlsFailure());
    std::lock_guard<std::mutex> guard(m_messageLock);
    // The first reason counts: the close that follows an error adds nothing.
    if (m_failure.IsEmpty()) m_failure = text;
}

String AggrSocket::FailureText() const {
    std::lock_guard<std::mutex> guard(m_messageLock);
    return m_failure;
}

void AggrSocket::onError(int code) {
    // The reason first: the GUI thread reads it once it sees the link down.
    NoteFailure(code);
    m_linkUp.store(false);
    MarkFailed();
    // The base closes the connection and renews the handle; the socket stays
    // idle until its owner replaces it.
    tarn::SSLClientSocket::onError(code);
}

void AggrSocket::onMessage(const char* data, int length) {
    String payload(data, length);
    if (payload == "Update") {
        m_updatePending.store(true);
    } else if (payload == "StudioConnected") {
        m_studioKeyword.store(1);
    } else if (payload == "StudioDisconnected") {
        m_studioKeyword.store(-1);
    }
    {
        std::lock_guard<std::mutex> guard(m_messageLock);
        m_lastMessage = std::move(payload);
    }
    m_hasMessage.store(true);
    m_messageEvent.set();
    AfxWakeGui();
}

bool AggrSocket::onHandshakeDone() {
    m_linkUp.store(true);
    AfxWakeGui();
    return true;
}

bool AggrSocket::onTlsClosed(bool) {
    NoteFailure(0);
    m_linkUp.store(false);
    MarkFailed();
    return true;
}

void AggrSocket::onConnected() {
    tarn::SSLClientSocket::onConnected();
    const int fd = static_cast<int>(getSocket());
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof kKeepIdleSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof kKeepIntervalSeconds);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

void AggrSocket::MarkFailed() {
    if (!m_linkFailed.exchange(true)) {
        m_failedEvent.set();
        AfxWakeGui();
    }
}

bool AggrSocket::WaitForMessage(uint32_t ms) {
    std::array<tarn::platform::Waitable*, 2> objects{&m_messageEvent, &m_failedEvent};
    // The message event comes first: a message that arrived before the link
    // failed is still taken.
    // Cleared first: a message stored meanwhile sets it again.
    m_hasMessage.store(false);
    return tarn::platform::waitAny(objects, ms) == tarn::platform::kWaitObject0;
}

AggrNotifications AggrSocket::TakeNotifications() {
    AggrNotifications taken;
    m_hasMessage.store(false);
    if (m_messageEvent.wait(0) != tarn::platform::kWaitObject0) return taken;
    taken.signalled = true;
    // Flags before the slot: a message stored meanwhile sets the event again,
    // so the next pass sees it.
    taken.update = m_updatePending.exchange(false);
    taken.studio = m_studioKeyword.exchange(0);
    taken.lastMessage = LastMessage();
    return taken;
}

String AggrSocket::LastMessage() const {
    std::lock_guard<std::mutex> guard(m_messageLock);
    return m_lastMessage;
}

void AggrSocket::ConnectOnReactor(const tarn::InetAddr& to) {
    const int result = connect(to);
    // -1: already connecting or connected; 0: under way (the outcome comes
    // as an event). Anything else failed at once.
    if (result < -1) {
        NoteFailure(result);
        MarkFailed();
    }
}

int AggrSocket::SendOnReactor(const std::string& payload) {
    const int result =
        linkUp() ? sendMessage(payload.data(), static_cast<int>(payload.size())) : -tarn::platform::WSAENOTCONN;
    if (result < 0) {
        m_sendFailed.store(true);
        AfxWakeGui();
    }
    return result;
}

// ---- AggrReactor ----

AggrReactor::AggrReactor() = default;

AggrReactor::~AggrReactor() {
    // The loop must be over before the socket goes; the context outlives it.
    stop();
    m_socket.reset();
    m_tlsContext.reset();
}

long AggrReactor::createTlsContext(const char* certFile, const char* keyFile, const char* caFile) {
    try {
        m_tlsContext = std::make_unique<tarn::SSLContext>(tarn::TarnString(certFile), tarn::TarnString(keyFile),
                                                          tarn::TarnString(kAggrPassPhrase), tarn::TarnString(caFile));
    } catch (const tarn::SSLContextError&) {
        TarnEventLog(kAggrTlsContextFailed, "%s", "");
        return kAggrTlsContextFailed;
    }
    return kAggrOk;
}

long AggrReactor::connectTo(const char* host, int port) {
    // Without a context there is nothing to connect with.
    if (m_tlsContext == nullptr || m_socket != nullptr) return kAggrTlsContextFailed;
    const bool started = start() == 0;
    m_socket = std::make_unique<AggrSocket>(m_tlsContext.get());
    if (!started) {
        m_socket->MarkFailed();
        return kAggrOk;
    }
    m_socket->attach(this);
    // The host name is resolved on the reactor thread, so a slow name server
    // never holds the GUI thread.
    queueInLoop([socket = m_socket.get(), name = std::string(host != nullptr ? host : ""), port] {
        socket->ConnectOnReactor(tarn::InetAddr(tarn::TarnString(name.c_str()), port));
    });
    return kAggrOk;
}

long AggrReactor::shutdownSession() {
    if (m_socket != nullptr) removeSocket(m_socket.get());
    stop();
    return kAggrOk;
}

bool AggrReactor::PostSend(const char* data, int length) { return PostSend(data, length, 0, nullptr); }

bool AggrReactor::PostSend(const char* data, int length, long ticket, std::shared_ptr<SendOutcomes> outcomes) {
    if (m_socket == nullptr || !m_socket->linkUp()) return false;
    // A copy of the payload travels with the call.
    queueInLoop([socket = m_socket.get(), payload = std::string(data, static_cast<size_t>(length)),
                 report = std::make_shared<SendReport>(ticket, std::move(outcomes))] {
        report->Ran(socket->SendOnReactor(payload));
    });
    return true;
}
