#pragma once

#include "tarn/BaseSocket.h"
#include "tarn/InetAddr.h"
#include "tarn/TQueue.h"
#include "tarn/ThreadLock.h"
#include "tarn/platform/NetEvents.h"

#include <atomic>
#include <cstdint>

namespace tarn {

class Reactor;

/// A connected, non-blocking TCP stream socket driven by a reactor, carrying
/// whole messages. On the wire every message is one frame:
///
///   | length n: 4 bytes, unsigned, big-endian | n body bytes |
///
/// Results follow one convention throughout the socket layer: a number >= 0
/// is a byte count (or success); a negative one is a negated WinSock error
/// (-10035 would block, never reported as an error; -10040 message too long;
/// -10053 aborted; -10054 reset; -10057 not connected) or one of the
/// library's own codes (-1 from ClientSocket::connect, -25 from TLS).
///
/// Threads. Everything the reactor calls (handleEvents and every virtual
/// operation it leads to) runs on the thread of the reactor that watches the
/// socket. sendMessage may be called from any thread at any time: one lock,
/// the socket's send lock, covers the write-blocked test, the send and the
/// send queue, so frames from several threads never interleave on the wire.
/// The send lock is never held while a callback runs.
///
/// Life. The socket owns its handle and closes it once, in the destructor.
/// The default onClosed and onError end the object: it is marked closing,
/// stops dispatching, is removed from the reactor it was attached to and is
/// deleted by a task posted to that reactor, after handleEvents has returned.
/// Without an attached reactor it is deleted when the outermost of its own
/// calls returns. A socket added to a reactor without attach() must be
/// removed by its owner before anything can end it. A subclass never deletes
/// the object from a callback: it calls onClosed, onError or destroy.
class ConnectedSocket : public BaseSocket {
public:
    /// A growable byte buffer: storage, capacity, and the bytes in use from
    /// the start.
    ///
    ///   data                    data + length       data + capacity
    ///   | bytes in use           | space             |
    ///
    /// One thread at a time.
    class DataBuffer {
    public:
        static constexpr int kInitialCapacity = 1024;

        /// 1024 bytes allocated, length 0.
        DataBuffer();
        /// The larger of 1024 and capacity bytes allocated, length 0: one
        /// allocation for a frame of known size.
        explicit DataBuffer(int capacity);
        /// The same capacity, the other's bytes in use copied.
        DataBuffer(const DataBuffer& other);
        /// A deep copy: capacity at least the other's.
        DataBuffer& operator=(const DataBuffer& other);
        virtual ~DataBuffer();

        /// Length 0; when the capacity is below n, the storage is replaced by
        /// exactly n bytes (contents not kept). A negative n counts as 0.
        void reset(int n);
        /// Where the next byte goes: data + length.
        char* writePointer() { return data_ + length_; }
        /// length += k, kept within 0..capacity.
        void advance(int k);
        char* data() { return data_; }
        const char* data() const { return data_; }
        int length() const { return length_; }
        int capacity() const { return capacity_; }
        /// capacity - length.
        int space() const { return capacity_ - length_; }
        /// Copies k bytes from source (which may point into this buffer) and
        /// makes them the contents; the capacity becomes at least the larger
        /// of k and n (n = -1 means k).
        void assign(const void* source, int k, int n = -1);
        /// capacity += k (k = -1 doubles it), keeping the bytes; never below
        /// the length.
        void grow(int k = -1);

    private:
        // Replaces the storage by `capacity` bytes holding the first `keep`
        // bytes of source.
        void reallocate(int capacity, const char* source, int keep);

        char* data_;  // owned
        int capacity_;
        int length_;
    };

    /// The largest body a frame may carry, sent or received.
    static constexpr int kMaxFrameLength = 16 * 1024 * 1024;
    /// The receive buffer is sized at most this much ahead of the bytes that
    /// have arrived, so a length prefix alone cannot pin a large allocation.
    static constexpr int kReceiveChunk = 64 * 1024;

    /// Adopts an already connected handle (from an accept) and its peer. The
    /// handle is not switched to non-blocking here: the reactor's selection
    /// does that. Any thread.
    ConnectedSocket(SocketHandle socket, const InetAddr& peer);
    /// Closes the handle (once, whichever destructor gets there first) and
    /// frees the frames still queued. The socket must no longer be watched.
    ~ConnectedSocket() override;

    // ---- virtual operations, in slot order ----

    /// The current handle. Any thread.
    SocketHandle getSocket() const override;
    /// Fetches the pending network events and acts on them in the order
    /// connect, read, write, close (see dispatchEvents). Nothing once the
    /// socket is closing. The result carries no meaning (0).
    int handleEvents() override;
    /// Nothing.
    void onReactorStop() override;
    /// The frame reader: reads length prefixes and bodies until the transport
    /// would block or the peer has closed, handing each complete body to
    /// onMessage. A zero-length frame is consumed and not delivered; a prefix
    /// with the top bit set or above kMaxFrameLength ends the connection
    /// through onError(-10040).
    virtual void onReadable();
    /// The send-queue drain: clears write-blocked and sends queued frames,
    /// oldest first, until the queue is empty or the transport would block
    /// (write-blocked set again). Any other failure drops and frees the queued
    /// frames and calls onError with it.
    virtual void onWritable();
    /// An outgoing connection is established. Nothing here.
    virtual void onConnected();
    /// The peer closed (graceful) or reset the connection. Here: if graceful,
    /// the frame reader runs once more to take in what is left; then the
    /// object is ended (see the class comment).
    virtual void onClosed(bool graceful);
    /// An event or a receive or queued send failed with code (< 0, never
    /// -10035). Here: onClosed(false).
    virtual void onError(int code);
    /// One complete frame. data points into the receive buffer and is valid
    /// only during the call. Nothing here.
    virtual void onMessage(const char* data, int length);
    /// Shuts the sending direction: 0 or a negated error.
    virtual int shutdownSend();
    /// One send of up to length bytes: the count sent (possibly fewer) or a
    /// negated error. Called with the send lock held.
    virtual int sendRaw(const char* data, int length);
    /// One receive of up to size bytes: the count, 0 when the peer has closed,
    /// or a negated error. Reactor thread.
    virtual int receiveRaw(char* buffer, int size);
    /// Frames length bytes and sends them, or queues them behind frames still
    /// waiting. Returns length + 4 when the whole frame went out now, 0 when it
    /// was queued (the rest of a partly sent frame included), or a negated
    /// error: -10040 for a negative length or one above kMaxFrameLength
    /// (nothing allocated), -10014 for a null data with a length, -10057 once
    /// the socket is closing, -10058 when the transport took 0 bytes, or the
    /// transport's error (the frame is dropped; onError is not called). A frame
    /// is never interleaved with another: the rest of a partly sent frame goes
    /// out before any later one. Any thread.
    virtual int sendMessage(const void* data, int length);

    // ---- reactor link and state ----

    /// Records the reactor that watches this socket (not owned; it must
    /// outlive the link) and adds the socket to it. addSocket's result. Any
    /// thread.
    int attach(Reactor* reactor);
    /// Removes the socket from the attached reactor and forgets the link;
    /// removeSocket's result, or 0 when none is attached. Any thread.
    int detach();
    Reactor* getReactor() const { return reactor_.load(); }

    /// The address given at construction.
    const InetAddr& getPeer() const { return peer_; }
    /// True once the socket has been ended and awaits deletion.
    bool isClosing() const { return closing_.load(); }
    /// True while sends would block and new frames are queued. Any thread.
    bool isWriteBlocked() const;
    /// Frames waiting in the send queue. Any thread.
    int queuedFrames() const;
    /// The buffer that receives frame bodies. Reactor thread.
    const DataBuffer& receiveBuffer() const { return receive_; }

protected:
    /// Acts on events fetched for handle, in the order connect, read, write,
    /// close:
    ///   connect: error 0 -> onConnected, else onError(-error)
    ///   read:    error 0 -> onReadable,  else onError(-error)
    ///   write:   error 0 -> onWritable,  else onError(-error)
    ///   close:   error 0 -> onClosed(true), 10054 -> onClosed(false),
    ///            else onError(-error)
    /// Stops early once the socket is closing or its handle was replaced (the
    /// rest belonged to the old connection).
    void dispatchEvents(SocketHandle handle, const platform::NetworkEvents& events);

    /// Ends the object once: marks it closing, removes it from the attached
    /// reactor and posts its deletion there. Without a running attached
    /// reactor it is deleted when the outermost of its own calls returns, or
    /// at once when none is under way. Touch nothing after calling it.
    void destroy();

    /// Replaces the handle; the old one is returned, not closed. Under the
    /// send lock, so a send from another thread uses one or the other.
    SocketHandle swapHandle(SocketHandle fresh);
    /// Forgets the frame being received: partial prefix, pending body.
    /// Reactor thread.
    void clearReceiveState();
    /// Frees every queued frame and clears write-blocked. Any thread.
    void clearSendState();
    /// Tells the frame reader and writer that sendRaw and receiveRaw are no
    /// longer the plain socket calls (a TLS layer): they then never bypass
    /// them. A subclass that overrides either calls it in its constructor.
    void useLayeredTransport() { plainTransport_ = false; }

private:
    class Busy;

    // Sends from the head of the queue until it is empty or the transport
    // would block. 0, or the failure (the queue then freed). lock_ held.
    int flushQueueLocked();
    // Frees every queued frame. lock_ held.
    void freeQueueLocked();
    // The plain transport's small-frame path: peeks, and when a whole frame
    // is there takes it in one receive and hands it on.
    enum class PeekResult { kTaken, kNotWhole, kEndTurn };
    PeekResult readPeekedFrame(SocketHandle handle);
    // Takes one frame of `total` bytes (prefix included) that a peek found
    // complete; false when the turn ends.
    bool takePeekedFrame(SocketHandle handle, int total, bool wasAll);
    // One gathered send of what is left of a frame, its first `sent` bytes
    // gone: sendRaw's result. lock_ held.
    int sendGathered(const unsigned char* prefix, const char* body, int length, int sent);

    InetAddr peer_;
    std::atomic<SocketHandle> socket_;  // owned; replaced under lock_
    DataBuffer receive_;                // reactor thread
    int32_t pending_ = 0;               // body bytes still to come; reactor thread
    unsigned char prefix_[4] = {};      // a length prefix being collected; reactor thread
    int prefixHave_ = 0;                // its bytes so far; reactor thread
    bool plainTransport_ = true;        // set before the socket is used
    bool peekNext_ = true;              // the last frame was small; reactor thread
    TQueue<DataBuffer*> sendQueue_;     // owned frames, oldest first; guarded by lock_
    int headSent_ = 0;                  // bytes of the head frame already sent; guarded by lock_
    bool writeBlocked_ = false;         // guarded by lock_
    mutable ThreadLock lock_;           // the send lock

    std::atomic<Reactor*> reactor_{nullptr};  // not owned; set by attach/detach
    std::atomic<bool> closing_{false};
    int busy_ = 0;                 // own calls under way; reactor thread
    bool deleteWhenIdle_ = false;  // reactor thread
};

}  // namespace tarn
