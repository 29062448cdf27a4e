#include "tarn/platform/NetEvents.h"

#include "tarn/platform/WinSockErrors.h"

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace tarn::platform {

namespace {

// What the layer knows of a handle's connection; it decides which events can
// be recorded at all. Connect and close are each reported once because they
// move the handle on to a state that no longer reports them.
enum class Kind : uint8_t {
    Unknown,     // never seen: learnt from the kernel at the first selection
    Idle,        // a TCP socket never connected (polls as OUT|HUP: ignored)
    Connecting,  // netConnect issued, outcome not yet recorded
    Connected,
    PeerClosed,  // FD_CLOSE(0) recorded; reads and writes still reported
    Dead,        // reset, failed or errored: nothing is reported any more
    Listening,
};

// One handle's record of network events.
struct State {
    SocketEvent* owner = nullptr;  // the event it is selected into; not owned
    uint32_t gen = 0;              // bumped on every reset and new selection
    long mask = 0;                 // the selected events
    Kind kind = Kind::Unknown;
    uint8_t enabled = 0;        // events that may be recorded now
    uint8_t pending = 0;        // recorded, not yet enumerated
    bool requeued = false;      // a look-again is queued in the epoll set
    bool lookAgain = false;     // a receive filled its buffer: look again before the next wait
    bool listed = false;        // in the owner's look-again list
    bool wasConnected = false;  // a connection existed on it at some time
    int errors[FD_MAX_EVENTS] = {};
};

// A record and the lock that guards it. Held over short non-blocking system
// calls only (epoll_ctl, getsockopt, ioctl), never while calling out of the
// layer; an event's lock may be taken inside it, never the other way round.
struct Record {
    std::mutex lock;
    State s;
};

// The table, indexed by handle number, in chunks that are made on first use
// and never freed or moved, so that finding a record takes no lock and two
// handles never contend.
constexpr size_t kChunkBits = 10;
constexpr size_t kChunkSize = size_t{1} << kChunkBits;
constexpr size_t kMaxChunks = 4096;  // handles below 4 Mi
std::atomic<Record*> gChunks[kMaxChunks];

// Edge-triggered: the kernel reports a change once, and a look-again is asked
// for explicitly (requeue), so nothing level-triggered can make the loop spin.
constexpr uint32_t kEpollEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLPRI | EPOLLET;
constexpr int kDrainBatch = 64;
constexpr int kMaxDrainRounds = 64;
constexpr int64_t kMaxWaitMs = 24 * 3600 * 1000;
// The epoll data of the wake descriptor: no handle has it.
constexpr uint64_t kWakeTag = ~uint64_t{0};

// The record of fd, or null when none was ever made.
Record* find(int fd) {
    if (fd < 0) return nullptr;
    const size_t chunk = static_cast<size_t>(fd) >> kChunkBits;
    if (chunk >= kMaxChunks) return nullptr;
    Record* records = gChunks[chunk].load(std::memory_order_acquire);
    return records == nullptr ? nullptr : &records[static_cast<size_t>(fd) & (kChunkSize - 1)];
}

// The record of fd, made if need be; null for a number beyond the table.
Record* slot(int fd) {
    if (Record* r = find(fd)) return r;
    if (fd < 0) return nullptr;
    const size_t chunk = static_cast<size_t>(fd) >> kChunkBits;
    if (chunk >= kMaxChunks) return nullptr;
    auto* fresh = new Record[kChunkSize];
    Record* expected = nullptr;
    if (!gChunks[chunk].compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        delete[] fresh;  // another thread made it first
    }
    return find(fd);
}

epoll_event makeEpollEvent(int fd, uint32_t gen) {
    epoll_event ev{};
    ev.events = kEpollEvents;
    ev.data.u64 = (uint64_t{gen} << 32) | static_cast<uint32_t>(fd);
    return ev;
}

int socketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int bytesAvailable(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

// The close error WinSock gives for a connection that failed with err.
int closeError(int err) { return (err == ECONNRESET || err == EPIPE) ? WSAECONNRESET : wsaErrorFromErrno(err); }

// What the kernel says about a handle the layer has not followed. Unknown with
// *err set when it is no open socket.
Kind learnKind(int fd, int* err) {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0) {
        *err = errno;
        return Kind::Unknown;
    }
    if (listening != 0) return Kind::Listening;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) return Kind::Connected;
    tcp_info info{};
    len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_SYN_SENT) {
        return Kind::Connecting;
    }
    return Kind::Idle;
}

}  // namespace

// The parts of a SocketEvent the layer's free functions touch, with the
// record's lock held.
struct SocketEventAccess {
    static int epfd(const SocketEvent& e) { return e.epfd_; }
    static void signal(SocketEvent& e) { e.signalled_.store(true, std::memory_order_release); }
    static void join(SocketEvent& e) { e.members_.fetch_add(1); }
    static void leave(SocketEvent& e) {
        e.members_.fetch_sub(1);
        e.epoch_.fetch_add(1, std::memory_order_acq_rel);
    }
    // The owner issues the look-again before its next wait.
    static void lookAgain(SocketEvent& e, int fd) {
        std::lock_guard<std::mutex> guard(e.lock_);
        e.lookAgain_.push_back(fd);
    }
};

namespace {

// Records event `bit` with `error` if it is selected and enabled. The
// record's lock held.
void record(State& r, int bit, int error) {
    const uint8_t ev = static_cast<uint8_t>(1u << bit);
    if ((r.mask & ev) == 0 || (r.enabled & ev) == 0) return;
    r.enabled = static_cast<uint8_t>(r.enabled & ~ev);
    r.pending = static_cast<uint8_t>(r.pending | ev);
    r.errors[bit] = error;
    if (r.owner != nullptr) SocketEventAccess::signal(*r.owner);
}

// Drops r from its selection. the record's lock held.
void unselect(int fd, State& r) {
    if (r.owner == nullptr) return;
    ::epoll_ctl(SocketEventAccess::epfd(*r.owner), EPOLL_CTL_DEL, fd, nullptr);
    SocketEventAccess::leave(*r.owner);
    r.owner = nullptr;
}

// Forgets everything about fd: its number is about to be reused, or was.
// The record's lock held.
void resetRecord(int fd, State& r) {
    unselect(fd, r);
    const uint32_t gen = r.gen + 1;
    r = State{};
    r.gen = gen;
}

// Asks the epoll set to look at fd again at the next drain (the kernel queues
// it if anything is ready then), so that a condition that still holds after a
// receive or accept is recorded although no new edge will come. the record's lock held.
void requeue(int fd, State& r, bool force) {
    if (r.owner == nullptr || (r.requeued && !force)) return;
    epoll_event ev = makeEpollEvent(fd, r.gen);
    if (::epoll_ctl(SocketEventAccess::epfd(*r.owner), EPOLL_CTL_MOD, fd, &ev) == 0) r.requeued = true;
}

// Turns what epoll reports for fd into recorded events. the record's lock held.
void apply(int fd, State& r, uint32_t revents) {
    switch (r.kind) {
        case Kind::Listening:
            if ((revents & EPOLLIN) != 0) record(r, FD_ACCEPT_BIT, 0);
            return;
        case Kind::Connecting: {
            if ((revents & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
            const int err = socketError(fd);
            if (err == ECONNRESET || err == EPIPE) {
                // It was connected and reset before anyone looked.
                r.kind = Kind::Dead;
                r.wasConnected = true;
                record(r, FD_CONNECT_BIT, 0);
                record(r, FD_CLOSE_BIT, WSAECONNRESET);
                return;
            }
            if (err != 0) {
                // A failed connect is the connect event alone: the handle polls
                // as hung up too, but it was never connected, so no close.
                r.kind = Kind::Dead;
                record(r, FD_CONNECT_BIT, wsaErrorFromErrno(err));
                return;
            }
            if ((revents & EPOLLOUT) == 0) return;
            r.kind = Kind::Connected;
            r.wasConnected = true;
            record(r, FD_CONNECT_BIT, 0);
            record(r, FD_WRITE_BIT, 0);
            [[fallthrough]];  // data or a close may have come with it
        }
        case Kind::Connected:
        case Kind::PeerClosed: {
            if ((revents & EPOLLERR) != 0) {
                const int err = socketError(fd);
                if (err != 0) {
                    // A reset or failure: one close with its error, and nothing
                    // else pending for the dead connection.
                    const bool report = r.kind == Kind::Connected;
                    r.kind = Kind::Dead;
                    r.pending = static_cast<uint8_t>(r.pending & ~(FD_READ | FD_WRITE | FD_OOB));
                    if (report) record(r, FD_CLOSE_BIT, closeError(err));
                    return;
                }
            }
            const bool hungUp = (revents & (EPOLLRDHUP | EPOLLHUP)) != 0;
            if ((revents & EPOLLPRI) != 0) record(r, FD_OOB_BIT, 0);
            // At the end of the stream the handle polls readable for ever: only
            // data still waiting makes a read event then.
            if ((revents & EPOLLIN) != 0 && (!hungUp || bytesAvailable(fd) > 0)) record(r, FD_READ_BIT, 0);
            if ((revents & EPOLLOUT) != 0) record(r, FD_WRITE_BIT, 0);
            if (hungUp && r.kind == Kind::Connected) {
                r.kind = Kind::PeerClosed;
                record(r, FD_CLOSE_BIT, 0);
            }
            return;
        }
        case Kind::Unknown:
        case Kind::Idle:
        case Kind::Dead: return;
    }
}

}  // namespace

std::unique_ptr<SocketEvent> SocketEvent::create() {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<SocketEvent>(new SocketEvent(fd));
}

SocketEvent::~SocketEvent() {
    for (size_t chunk = 0; members_.load() > 0 && chunk < kMaxChunks; ++chunk) {
        Record* records = gChunks[chunk].load(std::memory_order_acquire);
        for (size_t i = 0; records != nullptr && i < kChunkSize && members_.load() > 0; ++i) {
            Record& r = records[i];
            std::lock_guard<std::mutex> guard(r.lock);
            if (r.s.owner != this) continue;
            r.s.owner = nullptr;
            r.s.pending = 0;
            r.s.lookAgain = false;
            r.s.listed = false;
            ++r.s.gen;
            members_.fetch_sub(1);
        }
    }
    ::close(epfd_);
}

void SocketEvent::flushLookAgain() {
    std::vector<SocketHandle>& handles = lookAgainTaken_;
    handles.clear();
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (lookAgain_.empty()) return;
        handles.swap(lookAgain_);  // the two vectors keep their room: no allocation per pass
    }
    for (const SocketHandle fd : handles) {
        Record* r = find(fd);
        if (r == nullptr) continue;
        std::lock_guard<std::mutex> guard(r->lock);
        // Gone or moved: the entry is stale.
        if (r->s.owner != this) continue;
        r->s.listed = false;
        // Emptied by a later receive: nothing to look at.
        if (!r->s.lookAgain) continue;
        r->s.lookAgain = false;
        requeue(fd, r->s, false);
    }
}

int SocketEvent::collect(int timeoutMs, bool* wakeSeen) {
    epoll_event events[kDrainBatch];
    const int n = ::epoll_wait(epfd_, events, kDrainBatch, timeoutMs);
    if (n <= 0) return n;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeTag) {
            if (wakeSeen != nullptr) *wakeSeen = true;
            continue;
        }
        const int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
        const auto gen = static_cast<uint32_t>(events[i].data.u64 >> 32);
        Record* r = find(fd);
        if (r == nullptr) continue;
        std::lock_guard<std::mutex> guard(r->lock);
        // A report for a number closed and reused since is stale.
        if (r->s.owner != this || r->s.gen != gen) continue;
        r->s.requeued = false;
        apply(fd, r->s, events[i].events);
    }
    return n;
}

void SocketEvent::drain() {
    flushLookAgain();
    for (int round = 0; round < kMaxDrainRounds; ++round) {
        const int n = collect(0, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n < kDrainBatch) return;
    }
}

bool SocketEvent::tryAcquire() {
    // Signalled already: what the kernel holds is recorded at the next look.
    if (signalled_.load(std::memory_order_acquire)) return true;
    drain();
    return signalled_.load(std::memory_order_acquire);
}

uint32_t SocketEvent::waitWith(Waitable& wake, uint32_t ms, bool acquireWake) {
    if (wake.pollFd() != wakeFd_) {
        if (wakeFd_ >= 0) ::epoll_ctl(epfd_, EPOLL_CTL_DEL, wakeFd_, nullptr);
        wakeFd_ = -1;
        epoll_event ev{};
        ev.events = EPOLLIN;  // level-triggered: readable until acquired
        ev.data.u64 = kWakeTag;
        if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, wake.pollFd(), &ev) != 0) {
            Waitable* const objects[2] = {&wake, this};
            return waitAny(objects, ms);
        }
        wakeFd_ = wake.pollFd();
    }
    const bool infinite = ms == kInfinite;
    timespec ts{};
    int64_t deadline = 0;
    if (!infinite) {
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        deadline = int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec + int64_t{ms} * 1'000'000;
    }
    for (;;) {
        // The same order as waitAny: the wake object first.
        if (wake.tryAcquire()) return kWaitObject0;
        if (signalled_.load(std::memory_order_acquire)) return kWaitObject0 + 1;
        flushLookAgain();
        int timeout = -1;
        bool last = false;
        if (!infinite) {
            ::clock_gettime(CLOCK_MONOTONIC, &ts);
            const int64_t left = deadline - (int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec);
            // Round up so that the wait never ends just short of the deadline.
            const int64_t leftMs = left <= 0 ? 0 : (left + 999'999) / 1'000'000;
            last = leftMs == 0;
            timeout = static_cast<int>(leftMs > kMaxWaitMs ? kMaxWaitMs : leftMs);
        }
        bool wakeSeen = false;
        const int n = collect(timeout, &wakeSeen);
        if (n < 0) {
            if (errno == EINTR) continue;  // again with the time left
            return kWaitFailed;
        }
        if (wakeSeen && (!acquireWake || wake.tryAcquire())) return kWaitObject0;
        if (signalled_.load(std::memory_order_acquire)) return kWaitObject0 + 1;
        if (n == kDrainBatch) continue;  // more reports are queued
        if (last) return kWaitTimeout;
    }
}

int SocketEvent::select(SocketHandle handle, long mask) {
    if (handle < 0) return -WSAENOTSOCK;
    if ((mask & FD_ALL_EVENTS) == 0) {
        deselect(handle);
        return 0;
    }
    Record* rec = slot(handle);
    if (rec == nullptr) return -WSAENOBUFS;
    std::lock_guard<std::mutex> guard(rec->lock);
    State& r = rec->s;
    if (r.owner == this) {
        // Already watched: a new registration would re-queue a ready handle
        // and report again what was reported.
        r.mask = mask & FD_ALL_EVENTS;
        return 0;
    }
    unselect(handle, r);
    const int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0 || ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) < 0) return -wsaLastError();
    if (r.kind == Kind::Unknown || r.kind == Kind::Idle) {
        int err = 0;
        const Kind k = learnKind(handle, &err);
        if (k == Kind::Unknown) return -wsaErrorFromErrno(err);
        r.kind = k;
        r.wasConnected = k == Kind::Connected;
    }
    ++r.gen;
    r.mask = mask & FD_ALL_EVENTS;
    r.enabled = static_cast<uint8_t>(FD_ALL_EVENTS);
    r.requeued = false;
    r.lookAgain = false;
    r.listed = false;
    // Registering looks at the handle at once: what already holds (data,
    // queued connections, a finished connect, a writable connection) is
    // recorded at the next look.
    epoll_event ev = makeEpollEvent(handle, r.gen);
    if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, handle, &ev) != 0) {
        if (errno != EEXIST || ::epoll_ctl(epfd_, EPOLL_CTL_MOD, handle, &ev) != 0) return -wsaLastError();
    }
    r.owner = this;
    members_.fetch_add(1);
    if (r.pending != 0) signalled_.store(true, std::memory_order_release);
    return 0;
}

void SocketEvent::deselect(SocketHandle handle) {
    Record* r = find(handle);
    if (r == nullptr) return;
    std::lock_guard<std::mutex> guard(r->lock);
    if (r->s.owner != this) return;
    unselect(handle, r->s);
    r->s.pending = 0;
    r->s.lookAgain = false;
    r->s.listed = false;
    ++r->s.gen;
}

void SocketEvent::reset() { signalled_.store(false, std::memory_order_release); }

int SocketEvent::enumerate(SocketHandle handle, NetworkEvents& out) { return enumNetworkEvents(handle, out); }

int enumNetworkEvents(SocketHandle handle, NetworkEvents& out) {
    out = NetworkEvents{};
    if (handle < 0) return -WSAENOTSOCK;
    Record* rec = find(handle);
    if (rec == nullptr) return 0;
    std::lock_guard<std::mutex> guard(rec->lock);
    State& r = rec->s;
    out.lNetworkEvents = r.pending;
    for (int bit = 0; bit < FD_MAX_EVENTS; ++bit) {
        if ((r.pending & (1u << bit)) != 0) out.iErrorCode[bit] = r.errors[bit];
        r.errors[bit] = 0;
    }
    r.pending = 0;
    // A look-again queued earlier may have found nothing ready and been
    // dropped unseen; the handler that follows may ask for a new one.
    r.requeued = false;
    return 0;
}

int netSocket(bool nonBlocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -wsaLastError();
    if (Record* r = slot(fd)) {
        std::lock_guard<std::mutex> guard(r->lock);
        resetRecord(fd, r->s);
        r->s.kind = Kind::Idle;
    }
    return fd;
}

int netConnect(SocketHandle handle, const sockaddr_in& to) {
    if (handle < 0) return -WSAENOTSOCK;
    Record* rec = slot(handle);
    if (rec != nullptr) {
        std::lock_guard<std::mutex> guard(rec->lock);
        State& r = rec->s;
        // Linux would answer a second connect on an established handle with
        // success once, and the connect event would come again.
        if (r.kind == Kind::Connected || r.kind == Kind::PeerClosed) return -WSAEISCONN;
        if (r.kind == Kind::Connecting) return -WSAEALREADY;
        // Connecting before the call, so that the outcome finds the handle
        // ready for it however soon it comes.
        r.kind = Kind::Connecting;
        r.enabled = static_cast<uint8_t>(FD_ALL_EVENTS);
        r.pending = static_cast<uint8_t>(r.pending & ~(FD_CONNECT | FD_CLOSE));
    }
    const int rc = ::connect(handle, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    const int err = rc == 0 ? 0 : errno;
    if (rc == 0) {
        // Connected at once: the connect event still reports it.
        if (rec != nullptr) {
            std::lock_guard<std::mutex> guard(rec->lock);
            requeue(handle, rec->s, true);
        }
        return 0;
    }
    // EINTR: the connect goes on in the background, like EINPROGRESS.
    if (err == EINPROGRESS || err == EINTR) return -WSAEWOULDBLOCK;
    // Failed at once: reported here, by no event.
    if (rec != nullptr) {
        std::lock_guard<std::mutex> guard(rec->lock);
        rec->s.kind = err == EISCONN ? Kind::Connected : Kind::Idle;
    }
    return -wsaErrorFromErrno(err);
}

int netListen(SocketHandle handle, int backlog) {
    if (::listen(handle, backlog) != 0) return -wsaLastError();
    if (Record* r = slot(handle)) {
        std::lock_guard<std::mutex> guard(r->lock);
        r->s.kind = Kind::Listening;
        r->s.enabled = static_cast<uint8_t>(r->s.enabled | FD_ACCEPT);
    }
    return 0;
}

int netAccept(SocketHandle handle, sockaddr_in* peer) {
    Record* listening = find(handle);
    if (listening != nullptr) {
        // Enabled before the call: a connection that arrives in between is
        // then recorded rather than lost (at worst reported once too often).
        std::lock_guard<std::mutex> guard(listening->lock);
        listening->s.enabled = static_cast<uint8_t>(listening->s.enabled | FD_ACCEPT);
    }
    sockaddr_in from{};
    socklen_t len = sizeof from;
    int fd;
    do {
        fd = ::accept4(handle, reinterpret_cast<sockaddr*>(&from), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        if (err == ECONNABORTED && listening != nullptr) {
            // That one vanished; others may still be queued.
            std::lock_guard<std::mutex> guard(listening->lock);
            requeue(handle, listening->s, false);
        }
        // EMFILE and ENFILE are not looked at again here: the next connection
        // or the caller's own retry reports them, never a spin.
        return -wsaErrorFromErrno(err);
    }
    if (peer != nullptr) *peer = from;
    if (Record* accepted = slot(fd)) {
        std::lock_guard<std::mutex> guard(accepted->lock);
        resetRecord(fd, accepted->s);
        accepted->s.kind = Kind::Connected;
        accepted->s.wasConnected = true;
    }
    if (listening != nullptr) {
        std::lock_guard<std::mutex> guard(listening->lock);
        requeue(handle, listening->s, false);  // more may be queued
    }
    return fd;
}

namespace {

ssize_t receive(SocketHandle handle, void* buffer, size_t length, int flags, bool emptiesHandle) {
    Record* rec = find(handle);
    if (rec != nullptr) {
        // Enabled before the call, as in netAccept.
        std::lock_guard<std::mutex> guard(rec->lock);
        rec->s.enabled = static_cast<uint8_t>(rec->s.enabled | FD_READ | FD_OOB);
    }
    ssize_t n;
    do {
        n = ::recv(handle, buffer, length, flags);
    } while (n < 0 && errno == EINTR);
    const int err = n < 0 ? errno : 0;
    if (rec != nullptr && length > 0) {
        // A full buffer: data may remain, and no new edge would say so. The
        // look-again waits for the owner's next wait, and a later receive
        // that empties the socket (a short count, would-block, the end)
        // makes it unnecessary: a reader that reads until it would block
        // never costs one.
        const bool full = n > 0 && static_cast<size_t>(n) == length && !emptiesHandle;
        std::lock_guard<std::mutex> guard(rec->lock);
        State& r = rec->s;
        if (full && r.owner != nullptr && !r.requeued) {
            r.lookAgain = true;
            if (!r.listed) SocketEventAccess::lookAgain(*r.owner, handle);
            r.listed = true;
        } else if (!full) {
            r.lookAgain = false;
        }
    }
    if (n < 0) return -wsaErrorFromErrno(err);
    return n;
}

}  // namespace

ssize_t netRecv(SocketHandle handle, void* buffer, size_t length, int flags) {
    return receive(handle, buffer, length, flags, false);
}

ssize_t netRecvPeeked(SocketHandle handle, void* buffer, size_t length, bool wasAll) {
    return receive(handle, buffer, length, 0, wasAll);
}

namespace {

// What a send that failed with err leaves: the FD_WRITE re-enabling on
// would-block and the error to return.
ssize_t sendFailed(SocketHandle handle, int err) {
    Record* rec = find(handle);
    if (rec == nullptr) return -wsaErrorFromErrno(err);
    std::lock_guard<std::mutex> guard(rec->lock);
    State& r = rec->s;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        // Room may have come back since the send failed; the look-again
        // records the write event then, whichever thread sent.
        r.enabled = static_cast<uint8_t>(r.enabled | FD_WRITE);
        requeue(handle, r, true);
    }
    // Linux says EPIPE for a TCP handle that never was connected too.
    if (err == EPIPE && r.kind != Kind::Unknown && !r.wasConnected) return -WSAENOTCONN;
    return -wsaErrorFromErrno(err);
}

}  // namespace

ssize_t netSend(SocketHandle handle, const void* data, size_t length, int flags) {
    ssize_t n;
    do {
        n = ::send(handle, data, length, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    return sendFailed(handle, errno);
}

ssize_t netSendv(SocketHandle handle, const struct iovec* buffers, int count) {
    msghdr message{};
    message.msg_iov = const_cast<struct iovec*>(buffers);
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n;
    do {
        n = ::sendmsg(handle, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return n;
    return sendFailed(handle, errno);
}

int netShutdown(SocketHandle handle, int how) {
    if (::shutdown(handle, how) != 0) return -wsaLastError();
    return 0;
}

int netClose(SocketHandle handle) {
    if (handle < 0) return -WSAENOTSOCK;
    if (Record* r = find(handle)) {
        std::lock_guard<std::mutex> guard(r->lock);
        resetRecord(handle, r->s);
    }
    // Not retried on EINTR: the descriptor is gone either way on Linux.
    if (::close(handle) != 0 && errno != EINTR) return -wsaLastError();
    return 0;
}

void netRearm(SocketHandle handle, long events, bool mayRemain) {
    Record* r = find(handle);
    if (r == nullptr) return;
    std::lock_guard<std::mutex> guard(r->lock);
    r->s.enabled = static_cast<uint8_t>(r->s.enabled | (events & FD_ALL_EVENTS));
    if (mayRemain || (events & FD_WRITE) != 0) requeue(handle, r->s, (events & FD_WRITE) != 0);
}

}  // namespace tarn::platform
