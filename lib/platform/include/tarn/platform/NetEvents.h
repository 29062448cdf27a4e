#pragma once

#include "tarn/platform/Waitable.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>
#include <sys/types.h>

struct sockaddr_in;
struct iovec;

namespace tarn::platform {

/// A socket handle: a file descriptor. Invalid handles are negative.
using SocketHandle = int;
constexpr SocketHandle kInvalidSocket = -1;

/// Network events, WinSock's bits and bit indexes.
constexpr long FD_READ = 1 << 0;
constexpr long FD_WRITE = 1 << 1;
constexpr long FD_OOB = 1 << 2;
constexpr long FD_ACCEPT = 1 << 3;
constexpr long FD_CONNECT = 1 << 4;
constexpr long FD_CLOSE = 1 << 5;
constexpr long FD_ALL_EVENTS = 63;
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 6;

/// What enumNetworkEvents() hands out for one handle: the events pending and,
/// for each pending event, its WinSock error number (0 = none) at the event's
/// bit index.
struct NetworkEvents {
    long lNetworkEvents = 0;
    int iErrorCode[FD_MAX_EVENTS] = {};
};

/*
 * The network-event layer: WinSock's WSAEventSelect model on epoll.
 *
 * Every socket handle has one record of network events (the layer's table,
 * keyed by handle number, as WinSock keeps the record in the socket). A
 * handle selected into a SocketEvent is registered, edge-triggered, with that
 * event's epoll descriptor. When the event is looked at (tryAcquire), the
 * epoll descriptor is drained into the records: an event is recorded only
 * while it is enabled, and recording it disables it until the call that
 * re-enables it, exactly as WinSock does:
 *
 *   FD_READ     re-enabled by netRecv; recorded again at once while data
 *               remains (a receive that filled its buffer has the event
 *               look again before its next wait, unless a later receive
 *               emptied the handle)
 *   FD_OOB      re-enabled by netRecv
 *   FD_ACCEPT   re-enabled by netAccept; recorded again while connections
 *               are queued
 *   FD_WRITE    recorded when a connect completes or a connected handle is
 *               first selected, then only after a send that would block
 *               (netSend), once room is back
 *   FD_CONNECT  once per netConnect: error 0, or the connect's error alone
 *               (10061 for a refused connect, no close event with it)
 *   FD_CLOSE    once, only for a handle that was connected: 0 for an orderly
 *               close by the peer, 10054 for a reset (no read event with it),
 *               or the connection's error
 *
 * So an idle connected handle, a handle whose peer has closed and a handle in
 * an error state cost nothing while nobody receives or sends on them.
 *
 * The socket layer calls the net* wrappers below instead of the libc calls,
 * so that the re-enabling rules see every receive, send, accept, connect and
 * close. Every wrapper returns a count (or a handle, or 0) on success, and
 * the negated WinSock error number on failure (-10035 would block). A handle
 * must be closed with netClose: its number is reused at once, and the close
 * resets its record and drops it from any selection.
 *
 * Threads: each handle's record has a lock of its own, and each SocketEvent
 * keeps its own state, so two reactors never wait on each other. The ordering
 * the rules rely on is this: the calls on one handle (the wrappers,
 * enumNetworkEvents) and the selection, reset, look (tryAcquire) and wait
 * (waitWith) of the event it is selected into are made by one thread, the one
 * that waits on that event (the reactor thread). Handles not selected
 * anywhere may be used from any thread. Creating and closing a SocketEvent
 * may happen on any thread, but closing must not overlap any other call on
 * the same SocketEvent. Lock order: a record's lock, then an event's lock.
 */

/// The shared socket event of a reactor (WSACreateEvent's event): manual
/// reset, signalled when a network event is recorded for any handle selected
/// into it, unsignalled again only by reset(). Waiting on it costs one
/// descriptor whatever the number of handles.
///
/// tryAcquire() is the look: unless the event is signalled already, it drains
/// the epoll descriptor into the records; it returns whether the event is
/// signalled and does not consume the signal (manual reset). pollFd() is the
/// epoll descriptor, readable whenever something happened since the last
/// look. An event once waited on with waitWith() is waited on only so (its
/// descriptor then also polls readable for the wake object).
///
/// Not copyable, not movable. Closing (the destructor) drops every handle
/// still selected into it from the selection.
class SocketEvent final : public Waitable {
public:
    /// A new, unsignalled event, or null when no epoll descriptor can be
    /// created (errno tells why). Any thread.
    static std::unique_ptr<SocketEvent> create();
    ~SocketEvent() override;

    SocketEvent(const SocketEvent&) = delete;
    SocketEvent& operator=(const SocketEvent&) = delete;

    int pollFd() const override { return epfd_; }
    bool tryAcquire() override;

    /// WSAEventSelect(handle, this, mask). The first selection of a handle
    /// makes it non-blocking, learns its state (listening, connecting,
    /// connected) and registers it; selecting a handle that is already
    /// selected here changes nothing but the mask, whatever is pending.
    /// Selecting it into another SocketEvent moves it. Mask 0 is deselect().
    /// Returns 0, or a negated WinSock error (-10038 for a handle that is no
    /// open socket).
    int select(SocketHandle handle, long mask);
    /// Cancels the selection of handle (if it is selected here): the handle
    /// is dropped from the epoll set and its pending events are cleared, so an
    /// open handle that is no longer watched never wakes the waiter.
    void deselect(SocketHandle handle);
    /// WSAResetEvent: makes the event unsignalled.
    void reset();
    /// WSAEnumNetworkEvents(handle, no event, &out); see enumNetworkEvents.
    int enumerate(SocketHandle handle, NetworkEvents& out);

    /// waitAny({&wake, this}, ms) with one epoll_wait per wake-up: the wake
    /// object's descriptor joins the epoll set (level-triggered, never
    /// recorded as a handle), so what the kernel reports for the sockets is
    /// recorded by the same call that sleeps. The same results: kWaitObject0
    /// when wake was acquired (it wins when both are ready), kWaitObject0 + 1
    /// when this event is signalled (not consumed), kWaitTimeout, kWaitFailed.
    /// With acquireWake false, a wake object that the kernel reports ready
    /// after the sleep is returned as kWaitObject0 without acquiring it: the
    /// caller acquires it later (after serving what the wake announced, so
    /// that the acquiring system call is not on the wake-up's path), and
    /// must then look again for what the acquisition may have swallowed.
    /// The waiting thread; always with the same wake object.
    uint32_t waitWith(Waitable& wake, uint32_t ms, bool acquireWake = true);

    /// Bumped whenever a handle leaves this event's selection (deselected,
    /// closed, reset, moved elsewhere): while it stays the same, every handle
    /// selected here is still selected here. Any thread.
    uint64_t selectionEpoch() const { return epoch_.load(std::memory_order_acquire); }

private:
    explicit SocketEvent(int epfd) : epfd_(epfd) {}
    void drain();
    // One epoll_wait of up to timeoutMs, recorded into the records; the
    // number of reports (the wake descriptor's included, *wakeSeen set for
    // it), or -1 with errno.
    int collect(int timeoutMs, bool* wakeSeen);
    // Issues the look-again of every handle whose last receive filled its
    // buffer and was not followed by one that emptied it.
    void flushLookAgain();

    friend struct SocketEventAccess;
    const int epfd_;
    std::atomic<bool> signalled_{false};
    std::atomic<size_t> members_{0};  // handles selected into this event
    std::atomic<uint64_t> epoch_{0};  // see selectionEpoch()
    std::mutex lock_;                 // guards lookAgain_
    std::vector<SocketHandle> lookAgain_;
    std::vector<SocketHandle> lookAgainTaken_;  // the waiting thread's, for flushLookAgain
    int wakeFd_ = -1;                           // the wake descriptor in the epoll set; the waiting thread's
};

/// WSAEnumNetworkEvents with no event object: hands out the events pending on
/// handle, each with its error number, and clears them. Events recorded later
/// appear at a later call. 0 (a handle never selected has no events), or
/// -10038 for a negative handle.
int enumNetworkEvents(SocketHandle handle, NetworkEvents& out);

/// socket(AF_INET, SOCK_STREAM, 0), close-on-exec, non-blocking if asked.
/// The handle or a negated error.
int netSocket(bool nonBlocking = true);

/// connect to an IPv4 address. 0 when connected at once, -10035 while the
/// connect is in progress: either way FD_CONNECT reports the outcome. Any
/// other failure is returned at once and reported by no event.
int netConnect(SocketHandle handle, const sockaddr_in& to);

/// listen(handle, backlog); from then on the handle reports FD_ACCEPT.
int netListen(SocketHandle handle, int backlog);

/// accept4 with room for an IPv4 peer (peer may be null); the new handle is
/// non-blocking and close-on-exec. Re-enables FD_ACCEPT. The new handle, or a
/// negated error (-10035 when nothing is queued).
int netAccept(SocketHandle handle, sockaddr_in* peer);

/// recv; re-enables FD_READ and FD_OOB. The byte count, 0 when the peer has
/// closed, or a negated error (-10035 when no data is there).
ssize_t netRecv(SocketHandle handle, void* buffer, size_t length, int flags = 0);

/// A receive of bytes the caller has just peeked (netRecv with MSG_PEEK),
/// taking `length` of them. `wasAll`: the peek was short, so these bytes were
/// all the handle held; no look-again is kept for this receive then even
/// though it fills its buffer, since anything that arrived after the peek
/// comes with an edge of its own (the peek re-enabled FD_READ). Otherwise as
/// netRecv.
ssize_t netRecvPeeked(SocketHandle handle, void* buffer, size_t length, bool wasAll);
/// sendmsg of `count` buffers with MSG_NOSIGNAL, as netSend sends one: the
/// byte count, or a negated error; -10035 re-enables FD_WRITE.
ssize_t netSendv(SocketHandle handle, const struct iovec* buffers, int count);
/// send with MSG_NOSIGNAL (a closed peer never raises SIGPIPE). The byte
/// count, or a negated error; -10035 re-enables FD_WRITE.
ssize_t netSend(SocketHandle handle, const void* data, size_t length, int flags = 0);

/// shutdown(handle, how): 0 or a negated error.
int netShutdown(SocketHandle handle, int how);

/// Resets the handle's record, drops it from its selection, then closes it.
/// 0 or a negated error.
int netClose(SocketHandle handle);

/// For code that reads or writes the descriptor itself (a TLS library): after
/// its read or write would have blocked, re-enables `events` as netRecv
/// (FD_READ), netSend (FD_WRITE) or netAccept (FD_ACCEPT) would. With
/// mayRemain, also looks again at once whether they are ready (use it when
/// the descriptor was not read until it would block).
void netRearm(SocketHandle handle, long events, bool mayRemain = false);

}  // namespace tarn::platform
