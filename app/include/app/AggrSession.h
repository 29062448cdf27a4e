// The client's one TLS connection to the aggregation server.
//
// AggrReactor owns a reactor thread, the client TLS context and the socket.
// AggrSocket is the socket: its callbacks run on the reactor thread; what the
// GUI thread reads from it (link flag, last message, the message event) is
// guarded. The GUI thread never calls into the socket itself: connect and
// every send are queued to the reactor's thread (queueInLoop) with a copy of
// the data.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "external/String.h"
#include "tarn/Reactor.h"
#include "tarn/SSLContext.h"
#include "tarn/SSLSockets.h"
#include "tarn/platform/Event.h"

// Status codes of the session steps (event-log scheme).
inline constexpr long kAggrOk = 0x0E000000L;
inline constexpr long kAggrTlsContextFailed = static_cast<long>(0xCE000D01u);

// The client's built-in pass phrase of its private key.
inline constexpr const char* kAggrPassPhrase = "pelmo";

// What the idle pass learns from the socket at once: the latest message and
// what arrived since the previous take.
struct AggrNotifications {
    bool signalled = false;  // the message event was set (and is now reset)
    String lastMessage;      // the latest payload
    bool update = false;     // an "Update" came since the previous take
    int studio = 0;          // latest studio keyword: 1 connected, -1 disconnected, 0 none
};

// The words an operator reads for why the link failed: the socket error
// code given to onError (0: the server closed the connection) and what the
// TLS layer noted. Any thread.
String DescribeLinkFailure(int code, const tarn::TlsFailure& tls);

// What became of the posted sends, for the GUI thread to take. Shared by the
// session owner and every queued send, so an outcome reported after the
// socket is gone (a send discarded when its reactor stops) still has a place.
class SendOutcomes {
public:
    struct Outcome {
        long ticket = 0;  // from AggrReactor::PostSend
        int code = 0;     // >= 0: went out (or is queued to); otherwise the error
    };
    // Any thread.
    void Add(long ticket, int code);
    // GUI thread: everything reported since the last take, in order.
    std::vector<Outcome> TakeAll();

private:
    std::mutex m_lock;
    std::vector<Outcome> m_items;  // guarded by m_lock
};

// The code of a queued send that never ran: its reactor stopped first.
inline constexpr int kSendDiscarded = -1;

class AggrSocket : public tarn::SSLClientSocket {
public:
    // The context is not owned and must outlive the socket.
    explicit AggrSocket(tarn::SSLContext* context);
    ~AggrSocket() override;

    // Reactor thread. The owner (AggrReactor) deletes the socket, never this.
    void onReactorStop() override;
    // Link down; the connection is closed and the handle renewed.
    void onError(int code) override;
    void onMessage(const char* data, int length) override;
    bool onHandshakeDone() override;
    bool onTlsClosed(bool shutdownComplete) override;
    // Keepalive on the new connection, so that a vanished peer is found.
    void onConnected() override;

    // Any thread.
    bool linkUp() const { return m_linkUp.load(); }
    // True once a connect failed or an established link ended: the socket
    // will deliver nothing more.
    bool linkFailed() const { return m_linkFailed.load(); }

    // GUI thread. Waits up to ms for the first message; ends early when the
    // link fails. True when a message came (the event is then consumed).
    bool WaitForMessage(uint32_t ms);
    // True while a message waits to be taken (nothing is consumed). Any thread.
    bool HasMessage() const { return m_hasMessage.load(); }
    // GUI thread. Consumes the message event without waiting.
    AggrNotifications TakeNotifications();
    // A copy of the latest payload. Any thread.
    String LastMessage() const;
    // Set when a posted send could not go out; cleared by the call.
    bool TakeSendFailure() { return m_sendFailed.exchange(false); }
    // Why the link failed, in words ("" while it has not). Any thread.
    String FailureText() const;

    // Reactor thread (from a posted task). SendOnReactor returns what
    // sendMessage did, or -10057 without a link.
    void ConnectOnReactor(const tarn::InetAddr& to);
    int SendOnReactor(const std::string& payload);
    // The link will not come up (or has ended). Any thread.
    void MarkFailed();

private:
    void NoteFailure(int code);

    tarn::platform::Event m_messageEvent;  // auto-reset, unnamed: this socket's own
    std::atomic<bool> m_linkUp{false};
    mutable std::mutex m_messageLock;
    String m_lastMessage;                              // guarded by m_messageLock
    String m_failure;                                  // guarded by m_messageLock; set once per socket
    tarn::platform::Event m_failedEvent{true, false};  // manual-reset: set once
    std::atomic<bool> m_linkFailed{false};
    std::atomic<bool> m_updatePending{false};
    std::atomic<int> m_studioKeyword{0};
    std::atomic<bool> m_sendFailed{false};
    std::atomic<bool> m_hasMessage{false};
};

class AggrReactor : public tarn::Reactor {
public:
    AggrReactor();
    // Stops the thread, then deletes the socket, then the TLS context.
    ~AggrReactor() override;

    // GUI thread. Builds the client context (the pass phrase is built in);
    // kAggrTlsContextFailed is logged and returned when it cannot be built.
    long createTlsContext(const char* certFile, const char* keyFile, const char* caFile);
    // GUI thread. Starts the thread, makes the socket, watches it and posts
    // the connect. A reactor without a TLS context makes no socket and
    // returns kAggrTlsContextFailed.
    long connectTo(const char* host, int port);
    // GUI thread. Stops watching the socket and stops the thread; the socket
    // is deleted by the destructor.
    long shutdownSession();
    AggrSocket* aggrSocket() const { return m_socket.get(); }

    // GUI thread. Posts a send of a copy of the payload. False when there is
    // no socket or its link is not up (nothing is posted).
    bool PostSend(const char* data, int length);
    // The same, with the outcome reported to outcomes under ticket.
    bool PostSend(const char* data, int length, long ticket, std::shared_ptr<SendOutcomes> outcomes);

    tarn::SSLContext* tlsContext() const { return m_tlsContext.get(); }

private:
    // The context outlives the socket, the socket outlives the loop (the
    // destructor ends them in that order).
    std::unique_ptr<tarn::SSLContext> m_tlsContext;
    std::unique_ptr<AggrSocket> m_socket;
};
