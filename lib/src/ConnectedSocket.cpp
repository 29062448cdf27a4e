#include "tarn/ConnectedSocket.h"

#include "tarn/Reactor.h"
#include "tarn/platform/WinSockErrors.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

namespace tarn {

using platform::WSAEFAULT;
using platform::WSAEINVAL;
using platform::WSAEMSGSIZE;
using platform::WSAENOTCONN;
using platform::WSAESHUTDOWN;
using platform::WSAEWOULDBLOCK;

namespace {

constexpr int kPrefixBytes = 4;
// Frames with bodies up to this size are peeked whole and taken in one receive.
constexpr int kPeekBody = 512;

int clampToInt(int64_t n) { return n > INT_MAX ? INT_MAX : (n < 0 ? 0 : static_cast<int>(n)); }

}  // namespace

// ---- DataBuffer ----

ConnectedSocket::DataBuffer::DataBuffer()
    : data_(new char[kInitialCapacity]), capacity_(kInitialCapacity), length_(0) {}

ConnectedSocket::DataBuffer::DataBuffer(int capacity)
    : data_(nullptr), capacity_(std::max(capacity, kInitialCapacity)), length_(0) {
    data_ = new char[static_cast<size_t>(capacity_)];
}

ConnectedSocket::DataBuffer::DataBuffer(const DataBuffer& other)
    : data_(new char[static_cast<size_t>(other.capacity_)]), capacity_(other.capacity_), length_(other.length_) {
    if (length_ > 0) std::memcpy(data_, other.data_, static_cast<size_t>(length_));
}

ConnectedSocket::DataBuffer& ConnectedSocket::DataBuffer::operator=(const DataBuffer& other) {
    if (this != &other) assign(other.data_, other.length_, other.capacity_);
    return *this;
}

ConnectedSocket::DataBuffer::~DataBuffer() { delete[] data_; }

void ConnectedSocket::DataBuffer::reallocate(int capacity, const char* source, int keep) {
    // The new storage is filled before the old is freed: source may lie in it.
    char* fresh = new char[static_cast<size_t>(capacity)];
    if (keep > 0) std::memcpy(fresh, source, static_cast<size_t>(keep));
    delete[] data_;
    data_ = fresh;
    capacity_ = capacity;
}

void ConnectedSocket::DataBuffer::reset(int n) {
    length_ = 0;
    if (capacity_ < n) reallocate(n, nullptr, 0);
}

void ConnectedSocket::DataBuffer::advance(int k) {
    length_ = std::clamp(clampToInt(int64_t{length_} + k), 0, capacity_);
}

void ConnectedSocket::DataBuffer::assign(const void* source, int k, int n) {
    if (k < 0) k = 0;
    const int needed = std::max(k, n);
    const char* from = static_cast<const char*>(source);
    if (capacity_ < needed) {
        reallocate(needed, from, k);
    } else if (k > 0) {
        std::memmove(data_, from, static_cast<size_t>(k));
    }
    length_ = k;
}

void ConnectedSocket::DataBuffer::grow(int k) {
    const int64_t wanted = int64_t{capacity_} + (k == -1 ? capacity_ : k);
    const int target = std::max(clampToInt(wanted), length_);
    if (target != capacity_) reallocate(target, data_, length_);
}

// ---- deletion after dispatch ----

// Marks one of the socket's own calls as under way. When the outermost one
// ends and the socket ended itself without a reactor to delete it, the
// socket is deleted then; never while an exception is passing through, since
// whoever catches it may still name the socket.
class ConnectedSocket::Busy {
public:
    explicit Busy(ConnectedSocket& socket) : socket_(socket), exceptions_(std::uncaught_exceptions()) {
        ++socket_.busy_;
    }
    ~Busy() {
        if (--socket_.busy_ == 0 && socket_.deleteWhenIdle_ && std::uncaught_exceptions() == exceptions_) {
            delete &socket_;
        }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    ConnectedSocket& socket_;
    const int exceptions_;
};

// ---- construction ----

ConnectedSocket::ConnectedSocket(SocketHandle socket, const InetAddr& peer)
    : peer_(peer), socket_(socket >= 0 ? socket : platform::kInvalidSocket) {}

ConnectedSocket::~ConnectedSocket() {
    const SocketHandle handle = socket_.exchange(platform::kInvalidSocket);
    if (handle >= 0) platform::netClose(handle);
    std::lock_guard<ThreadLock> guard(lock_);
    freeQueueLocked();
}

SocketHandle ConnectedSocket::getSocket() const { return socket_.load(); }

int ConnectedSocket::attach(Reactor* reactor) {
    reactor_.store(reactor);
    return reactor != nullptr ? reactor->addSocket(this) : 0;
}

int ConnectedSocket::detach() {
    Reactor* reactor = reactor_.exchange(nullptr);
    return reactor != nullptr ? reactor->removeSocket(this) : 0;
}

bool ConnectedSocket::isWriteBlocked() const {
    std::lock_guard<ThreadLock> guard(lock_);
    return writeBlocked_;
}

int ConnectedSocket::queuedFrames() const {
    std::lock_guard<ThreadLock> guard(lock_);
    return sendQueue_.getCount();
}

// ---- event dispatch ----

int ConnectedSocket::handleEvents() {
    const SocketHandle handle = getSocket();
    platform::NetworkEvents events;
    platform::enumNetworkEvents(handle, events);  // fetched even when closing: it clears them
    if (!closing_.load()) dispatchEvents(handle, events);
    return 0;
}

void ConnectedSocket::dispatchEvents(SocketHandle handle, const platform::NetworkEvents& events) {
    Busy busy(*this);
    const long pending = events.lNetworkEvents;
    auto current = [&] { return !closing_.load() && getSocket() == handle; };

    if ((pending & platform::FD_CONNECT) != 0 && current()) {
        const int error = events.iErrorCode[platform::FD_CONNECT_BIT];
        if (error == 0) {
            onConnected();
        } else {
            onError(-error);
        }
    }
    if ((pending & platform::FD_READ) != 0 && current()) {
        const int error = events.iErrorCode[platform::FD_READ_BIT];
        if (error == 0) {
            onReadable();
        } else {
            onError(-error);
        }
    }
    if ((pending & platform::FD_WRITE) != 0 && current()) {
        const int error = events.iErrorCode[platform::FD_WRITE_BIT];
        if (error == 0) {
            onWritable();
        } else {
            onError(-error);
        }
    }
    if ((pending & platform::FD_CLOSE) != 0 && current()) {
        const int error = events.iErrorCode[platform::FD_CLOSE_BIT];
        if (error == 0) {
            onClosed(true);
        } else if (error == platform::WSAECONNRESET) {
            onClosed(false);
        } else {
            onError(-error);
        }
    }
}

void ConnectedSocket::onReactorStop() {}

void ConnectedSocket::onConnected() {}

void ConnectedSocket::onMessage(const char* /*data*/, int /*length*/) {}

void ConnectedSocket::onError(int /*code*/) { onClosed(false); }

void ConnectedSocket::onClosed(bool graceful) {
    Busy busy(*this);
    if (graceful) onReadable();
    destroy();
}

void ConnectedSocket::destroy() {
    if (closing_.exchange(true)) return;
    Reactor* reactor = reactor_.load();
    if (reactor != nullptr && !reactor->isStopped()) {
        reactor->removeSocket(this);
        // Deleted on the reactor's thread after the dispatch that ended it
        // has returned: the queued function holds the socket, and whether it
        // runs or is discarded, the socket goes when the last holder does.
        struct Holder {
            ConnectedSocket* socket = nullptr;
            ~Holder() { delete socket; }
        };
        auto holder = std::make_shared<Holder>();
        holder->socket = this;
        try {
            reactor->queueInLoop([holder] {});
        } catch (...) {
            holder->socket = nullptr;  // not queued: nothing deletes the socket
            throw;
        }
        return;  // the last holder may be this frame's: touch nothing after
    }
    if (busy_ > 0) {
        deleteWhenIdle_ = true;
        return;
    }
    delete this;
}

// ---- receiving ----

void ConnectedSocket::onReadable() {
    Busy busy(*this);
    const SocketHandle handle = getSocket();
    // A layered transport (TLS) may hold decrypted bytes that no further
    // event would announce: it is read until it would block or the peer has
    // closed. On the socket's own calls every receive re-enables the read
    // event, so a receive short of what it asked for ends the turn (the next
    // bytes come with an event of their own) instead of one more receive that
    // would only say it would block; and a small frame is peeked whole and
    // taken in one receive, which never takes more than that frame.
    const bool plain = plainTransport_;
    while (!closing_.load() && getSocket() == handle) {
        if (plain && pending_ == 0 && prefixHave_ == 0 && peekNext_) {
            const PeekResult peeked = readPeekedFrame(handle);
            if (peeked == PeekResult::kEndTurn) return;
            if (peeked == PeekResult::kTaken) continue;
            // Not a whole small frame: read it the usual way.
        }
        if (pending_ == 0) {
            const int want = kPrefixBytes - prefixHave_;
            const int r = receiveRaw(reinterpret_cast<char*>(prefix_) + prefixHave_, want);
            if (r < 0) {
                if (r != -WSAEWOULDBLOCK) onError(r);
                return;
            }
            if (r == 0) return;
            prefixHave_ += std::min(r, want);
            if (prefixHave_ < kPrefixBytes) {  // held over until complete
                if (plain) return;
                continue;
            }
            prefixHave_ = 0;
            uint32_t word = 0;
            std::memcpy(&word, prefix_, sizeof word);
            const uint32_t length = ntohl(word);
            if (length > static_cast<uint32_t>(kMaxFrameLength)) {
                // Also a prefix with the top bit set. Nothing is allocated.
                onError(-WSAEMSGSIZE);
                return;
            }
            peekNext_ = length <= static_cast<uint32_t>(kPeekBody);
            if (length == 0) continue;
            pending_ = static_cast<int32_t>(length);
            receive_.reset(std::min(pending_, kReceiveChunk));
        }
        while (pending_ > 0) {
            // The buffer grows as the body arrives and ends at its length.
            if (receive_.space() == 0) receive_.grow(std::min(receive_.capacity(), pending_));
            const int want = std::min(pending_, receive_.space());
            const int r = receiveRaw(receive_.writePointer(), want);
            if (r == 0 || r == -WSAEWOULDBLOCK) return;  // the rest comes with a later event
            if (r < 0) {
                onError(r);
                return;
            }
            const int taken = std::min(r, pending_);
            receive_.advance(taken);
            pending_ -= taken;
            if (plain && r < want) return;  // so does the rest here
        }
        onMessage(receive_.data(), receive_.length());
    }
}

ConnectedSocket::PeekResult ConnectedSocket::readPeekedFrame(SocketHandle handle) {
    char peek[kPrefixBytes + kPeekBody];
    const int r = static_cast<int>(platform::netRecv(handle, peek, sizeof peek, MSG_PEEK));
    if (r < 0) {
        if (r != -WSAEWOULDBLOCK) onError(r);
        return PeekResult::kEndTurn;
    }
    if (r == 0) return PeekResult::kEndTurn;
    if (r < kPrefixBytes) return PeekResult::kNotWhole;
    uint32_t word = 0;
    std::memcpy(&word, peek, sizeof word);
    const uint32_t length = ntohl(word);
    if (length > static_cast<uint32_t>(r - kPrefixBytes)) return PeekResult::kNotWhole;
    const int total = kPrefixBytes + static_cast<int>(length);
    // A short peek that ends with this frame saw everything the handle held.
    const bool wasAll = r == total && r < static_cast<int>(sizeof peek);
    if (!takePeekedFrame(handle, total, wasAll)) return PeekResult::kEndTurn;
    if (wasAll && pending_ == 0 && prefixHave_ == 0) return PeekResult::kEndTurn;  // the handle is empty
    return PeekResult::kTaken;
}

bool ConnectedSocket::takePeekedFrame(SocketHandle handle, int total, bool wasAll) {
    receive_.reset(total);
    const int r =
        static_cast<int>(platform::netRecvPeeked(handle, receive_.writePointer(), static_cast<size_t>(total), wasAll));
    if (r < 0) {
        if (r != -WSAEWOULDBLOCK) onError(r);
        return false;
    }
    if (r == 0) return false;
    if (r < total) {
        // Fewer than were peeked (only this thread reads, so not expected):
        // carry on with what came as a partly received frame.
        if (r < kPrefixBytes) {
            std::memcpy(prefix_, receive_.data(), static_cast<size_t>(r));
            prefixHave_ = r;
            return true;
        }
        std::memmove(receive_.data(), receive_.data() + kPrefixBytes, static_cast<size_t>(r - kPrefixBytes));
        receive_.reset(total);  // the capacity is there already: contents kept
        receive_.advance(r - kPrefixBytes);
        pending_ = total - r;
        return true;
    }
    if (total > kPrefixBytes) onMessage(receive_.data() + kPrefixBytes, total - kPrefixBytes);
    return true;
}

int ConnectedSocket::receiveRaw(char* buffer, int size) {
    if (size < 0) return -WSAEINVAL;
    if (size == 0) return 0;
    return static_cast<int>(platform::netRecv(getSocket(), buffer, static_cast<size_t>(size)));
}

void ConnectedSocket::clearReceiveState() {
    pending_ = 0;
    prefixHave_ = 0;
    receive_.reset(0);
}

// ---- sending ----

int ConnectedSocket::sendRaw(const char* data, int length) {
    if (length < 0) return -WSAEINVAL;
    if (length == 0) return 0;
    return static_cast<int>(platform::netSend(getSocket(), data, static_cast<size_t>(length)));
}

int ConnectedSocket::shutdownSend() { return platform::netShutdown(getSocket(), SHUT_WR); }

namespace {

// One frame in a buffer of its own: the prefix, then the body.
std::unique_ptr<ConnectedSocket::DataBuffer> framed(const unsigned char* prefix, const char* body, int length) {
    const int total = length + kPrefixBytes;
    auto frame = std::make_unique<ConnectedSocket::DataBuffer>(total);
    std::memcpy(frame->writePointer(), prefix, kPrefixBytes);
    if (length > 0) std::memcpy(frame->writePointer() + kPrefixBytes, body, static_cast<size_t>(length));
    frame->advance(total);
    return frame;
}

}  // namespace

int ConnectedSocket::sendMessage(const void* data, int length) {
    if (length < 0 || length > kMaxFrameLength) return -WSAEMSGSIZE;
    if (data == nullptr && length > 0) return -WSAEFAULT;
    const int total = length + kPrefixBytes;
    const uint32_t word = htonl(static_cast<uint32_t>(length));
    unsigned char prefix[kPrefixBytes];
    std::memcpy(prefix, &word, sizeof word);
    const char* body = static_cast<const char*>(data);
    // A layered transport takes the frame in one piece, copied before the
    // lock is taken; the socket's own send gathers the prefix and the
    // caller's bytes, and the frame is copied only when it must wait.
    std::unique_ptr<DataBuffer> frame;
    if (!plainTransport_) frame = framed(prefix, body, length);

    std::lock_guard<ThreadLock> guard(lock_);
    if (closing_.load()) return -WSAENOTCONN;
    // A frame that becomes the head counts the part of it already sent.
    auto queue = [&](int sent) {
        if (!frame) frame = framed(prefix, body, length);
        if (sendQueue_.getCount() == 0) headSent_ = sent;
        sendQueue_.add(frame.get());
        frame.release();
        return 0;
    };
    if (writeBlocked_ || sendQueue_.getCount() > 0) return queue(0);
    int sent = 0;
    for (;;) {
        const int r = frame ? sendRaw(frame->data() + sent, total - sent) : sendGathered(prefix, body, length, sent);
        if (r > 0) {
            sent += r;
            if (sent >= total) return total;
            continue;  // a partial send: the rest goes out before anything else
        }
        if (r == -WSAEWOULDBLOCK) {
            writeBlocked_ = true;
            return queue(sent);
        }
        // 0 bytes of a non-empty frame is a failure, never success.
        return r == 0 ? -WSAESHUTDOWN : r;
    }
}

int ConnectedSocket::sendGathered(const unsigned char* prefix, const char* body, int length, int sent) {
    iovec parts[2];
    int count = 0;
    if (sent < kPrefixBytes) {
        parts[count++] = iovec{const_cast<unsigned char*>(prefix) + sent, static_cast<size_t>(kPrefixBytes - sent)};
    }
    const int bodySent = std::max(0, sent - kPrefixBytes);
    if (length > bodySent) {
        parts[count++] = iovec{const_cast<char*>(body) + bodySent, static_cast<size_t>(length - bodySent)};
    }
    return static_cast<int>(platform::netSendv(getSocket(), parts, count));
}

void ConnectedSocket::onWritable() {
    Busy busy(*this);
    if (closing_.load()) return;
    int failure;
    {
        std::lock_guard<ThreadLock> guard(lock_);
        writeBlocked_ = false;
        failure = flushQueueLocked();
    }
    if (failure != 0) onError(failure);
}

int ConnectedSocket::flushQueueLocked() {
    while (sendQueue_.getCount() > 0) {
        DataBuffer* frame = sendQueue_.peek();
        const int r = sendRaw(frame->data() + headSent_, frame->length() - headSent_);
        if (r > 0) {
            headSent_ += r;
            if (headSent_ >= frame->length()) {
                sendQueue_.pop();
                delete frame;
                headSent_ = 0;
            }
            continue;
        }
        if (r == -WSAEWOULDBLOCK) {
            writeBlocked_ = true;
            return 0;
        }
        freeQueueLocked();
        return r == 0 ? -WSAESHUTDOWN : r;
    }
    return 0;
}

void ConnectedSocket::freeQueueLocked() {
    while (sendQueue_.getCount() > 0) delete sendQueue_.pop();
    headSent_ = 0;
}

void ConnectedSocket::clearSendState() {
    std::lock_guard<ThreadLock> guard(lock_);
    freeQueueLocked();
    writeBlocked_ = false;
}

SocketHandle ConnectedSocket::swapHandle(SocketHandle fresh) {
    std::lock_guard<ThreadLock> guard(lock_);
    return socket_.exchange(fresh >= 0 ? fresh : platform::kInvalidSocket);
}

}  // namespace tarn
