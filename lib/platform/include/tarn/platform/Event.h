#pragma once

#include "tarn/platform/Waitable.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarn::platform {

/// An auto-reset or manual-reset event on an eventfd, so that it can be
/// polled beside other descriptors (waitAny).
///
/// The eventfd counter is the truth: the event is signalled while the
/// counter is non-zero, and a waiter only ever succeeds by finding it so.
/// Several set() calls before a wait count as one (the descriptor is never
/// in semaphore mode). An auto-reset event releases exactly one waiter per
/// signal; a manual-reset event stays signalled until reset().
///
/// set() keeps a flag beside the counter so that setting an event that is
/// already signalled costs no system call. A set() that finds the flag clear
/// sets it under the lock and then writes; a consumer clears the flag before
/// it drains the counter, under the same lock, so no set() can slip in
/// between and have its write swallowed while its flag stays: once a set()
/// has written, its flag is never left set over an empty counter (that would
/// turn every later set() into a no-op). A clear flag over a counter that a
/// late write filled only costs one extra write on the next set().
///
/// Any thread may call every operation. set() touches nothing of the object
/// after its write, so a waiter may destroy the event as soon as it wakes.
/// Not copyable, not movable.
class Event final : public Waitable {
public:
    /// Throws std::system_error when no eventfd can be created.
    explicit Event(bool manualReset = false, bool initiallySignalled = false);
    ~Event() override;

    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    /// Signals the event. No system call when it is already signalled.
    void set();
    /// Makes the event unsignalled.
    void reset();
    /// Waits up to `ms` milliseconds (kInfinite: no limit) for the event.
    /// kWaitObject0 when it was signalled (an auto-reset event is consumed),
    /// kWaitTimeout, or kWaitFailed.
    uint32_t wait(uint32_t ms);

    bool isManualReset() const { return manualReset_; }

    int pollFd() const override { return fd_; }
    bool tryAcquire() override;

private:
    // Empties the counter; returns the count read (0 when it was empty).
    uint64_t readCounter();
    // Clears the flag, then empties the counter; returns the count read.
    // Caller holds lock_.
    uint64_t clearAndDrain();
    // True when every write issued so far has been drained, so the counter
    // is certainly zero and no system call is needed. Caller holds lock_.
    bool certainlyEmpty() const;

    const int fd_;
    const bool manualReset_;
    // Bumped by one on every flag change: odd = flag set. Only set() moves
    // it from even to odd, and then writes once, so the number of writes
    // issued is (state_ + 1) / 2. Changed under lock_; read without it by
    // the short-cut of set().
    std::atomic<uint64_t> state_;
    // Orders flag changes: set()'s even-to-odd step, the consumers'
    // (tryAcquire, reset) clear and drain. Never held across a wait.
    std::mutex lock_;
    uint64_t drained_ = 0;  // writes taken out of the counter for good; guarded by lock_
};

}  // namespace tarn::platform
