#pragma once

#include "tarn/ThreadLock.h"
#include "tarn/platform/Event.h"
#include "tarn/platform/Waitable.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarn {

/// The base of every worker thread: owns the thread running run(), an
/// auto-reset wake event that other threads set to rouse it, and a lock for
/// the subclass's shared state.
///
/// Results: 0 done (for the waits: signalled, or the wait failed),
/// 1 start() could create no thread, 3 a wait timed out, 4 start() found
/// startCount at maxStarts.
///
/// Nothing here makes run() end: the subclass defines its stop condition and
/// signals it (typically a flag and wake()), then join()s. The destructor
/// neither stops nor waits for the thread, so a subclass whose thread may
/// still run stops it in its own destructor. Each start() that passes the
/// limit creates a new thread; an earlier thread of the same object is
/// detached then and keeps running on its own (threads may overlap).
///
/// Any thread may call every operation.
class BaseThread {
public:
    /// -1 (or any negative number) allows any number of starts.
    /// Throws std::system_error when the wake event cannot be created.
    explicit BaseThread(int maxStarts);
    virtual ~BaseThread();

    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    /// Sets the state to 1; then 4 when startCount has reached maxStarts,
    /// else counts the start and creates a thread running run(): 0, or 1
    /// when no thread could be created (the start still counts).
    virtual int start();
    /// Waits up to `milliseconds` (0xFFFFFFFF: no limit) for the wake event
    /// and consumes it: 0, or 3 on time-out.
    virtual int wait(unsigned long milliseconds);
    /// Sets the wake event; wake-ups before the next wait count as one.
    virtual int wake();
    /// The thread's body.
    virtual void run() = 0;

    /// Waits up to `milliseconds` for the latest thread to end: 0 when it has
    /// ended (also when there is none, or it was joined before), 3 on time-out.
    int join(unsigned long milliseconds);

    /// The object's own lock, for the subclass's state. Not re-entrant: a
    /// second lock() by the holder does nothing and one unlock() releases it.
    void lock() { lock_.lock(); }
    void unlock() { lock_.unlock(); }

    /// Stores the state under the object's lock (also when the caller holds it).
    void setState(int state);
    int getState() const { return state_.load(); }

    /// The wake event, for a subclass that waits on it among others.
    platform::Event& getWakeEvent() { return wakeEvent_; }
    /// Signalled once the latest thread has ended; null before the first
    /// thread exists or after a failed creation. Valid until the next start()
    /// or the object's end.
    platform::Waitable* getThreadHandle();

    int getMaxStarts() const { return maxStarts_; }
    int getStartCount();
    /// The kernel's id of the latest thread, 0 until that thread has begun.
    uint32_t getOsThreadId();

private:
    struct ThreadRecord;
    static void threadMain(BaseThread* self, std::shared_ptr<ThreadRecord> record);

    const int maxStarts_;
    int startCount_ = 0;  // guarded by startLock_
    ThreadLock lock_;     // the subclass's lock; also taken by setState
    platform::Event wakeEvent_{false, false};
    // The latest thread, shared with that thread so that its end event
    // outlives whichever of the two finishes last. Guarded by startLock_.
    std::shared_ptr<ThreadRecord> threadHandle_;
    std::atomic<int> state_{0};  // written under lock_, read without it
    // Guards startCount_ and threadHandle_; never held across a wait for a
    // thread to end (join() reaps only a thread that has signalled its end).
    std::mutex startLock_;
};

}  // namespace tarn
