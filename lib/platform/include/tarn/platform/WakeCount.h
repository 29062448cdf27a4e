#pragma once

#include <atomic>
#include <cstdint>

namespace tarn::platform {

/// A counter one thread can sleep on until another bumps it: a futex. Cheaper
/// to wake than a descriptor in poll or epoll, but nothing else can be waited
/// for beside it.
///
/// One word holds the count (upper 31 bits, wrapping) and the sleeper's mark
/// (bit 0). The sleeper sets the mark only while the count is the one it has
/// seen; a bump adds one and takes the mark off in the same step, and only
/// the bump that took it off makes the wake system call. So a wake-up can
/// only be meant for the sleep it interrupts, and the other bumps cost no
/// system call.
///
/// Any thread may bump(); one thread sleeps. The owner must outlive every
/// bump().
class WakeCount {
public:
    /// The count (wraps: compare for equality only).
    uint32_t count() const { return word_.load() >> 1; }

    /// Adds one to the count and wakes the sleeper if one is marked; true
    /// when it woke one.
    bool bump();

    /// Sleeps while the count is `seen`, up to `ms` milliseconds (kInfinite:
    /// no limit). Returns at once when the count has moved. May return early
    /// (a signal): the caller looks at the count again.
    void sleepWhile(uint32_t seen, uint32_t ms);

private:
    static constexpr uint32_t kMarked = 1;
    std::atomic<uint32_t> word_{0};
};

}  // namespace tarn::platform
