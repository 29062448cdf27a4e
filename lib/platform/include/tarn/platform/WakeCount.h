#pragma once

#include <atomic>
#include <cstdint>

namespace tarn::platform {

/// A counter one thread can sleep on until another bumps it: a futex. Cheaper
/// to wake than a descriptor in poll or epoll, but nothing else can be waited
/// for beside it.
///
/// Any thread may bump(); one sleeper at a time calls sleepWhile(). bump()
/// touches the counter only, so the owner must outlive every bump().
class WakeCount {
public:
    /// The current count (seq_cst).
    uint32_t load() const { return count_.load(); }

    /// Adds one (seq_cst) and returns the new count; wakes no one.
    uint32_t bump() { return count_.fetch_add(1) + 1; }

    /// Wakes the sleeper, if any.
    void wakeOne();

    /// Sleeps while the count equals `seen`, up to `ms` milliseconds
    /// (kInfinite: no limit). Returns at once when it differs. May return
    /// early (a signal): the caller looks at the count again.
    void sleepWhile(uint32_t seen, uint32_t ms);

private:
    std::atomic<uint32_t> count_{0};
};

}  // namespace tarn::platform
