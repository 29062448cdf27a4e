#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace tarn {

/// A non-recursive mutual-exclusion lock that knows its owner.
///
/// lock() blocks until the lock is free; a second lock() by the thread that
/// holds it does nothing, so one unlock() always releases it (taking it twice
/// can neither deadlock the owner nor leave it held). unlock() by a thread
/// that does not hold it does nothing, so a release in clean-up code that may
/// run after the normal one is harmless. Destroying a lock that the
/// destroying thread holds releases it first.
///
/// Meets BasicLockable, so std::lock_guard<ThreadLock> scopes it. Any thread.
class ThreadLock {
public:
    ThreadLock() = default;
    virtual ~ThreadLock();

    ThreadLock(const ThreadLock&) = delete;
    ThreadLock& operator=(const ThreadLock&) = delete;

    void lock();
    void unlock();

    /// True while some thread holds the lock.
    bool isLocked() const { return owner_.load() != std::thread::id(); }
    /// True while the calling thread holds the lock.
    bool isHeldByCurrentThread() const { return owner_.load() == std::this_thread::get_id(); }

private:
    // The holder, or a default id when free. Written only by the holder,
    // so the holder's own comparison is exact.
    std::atomic<std::thread::id> owner_{};
    std::mutex mutex_;
};

}  // namespace tarn
