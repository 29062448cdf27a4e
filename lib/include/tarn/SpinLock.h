#pragma once

#include <atomic>
#include <thread>

namespace tarn {

/// A lock for sections of a few pointer assignments: it spins a little, then
/// yields the processor while another thread holds it. Keeps no owner, so it
/// costs one atomic exchange to take and one store to release. Not
/// re-entrant. Meets BasicLockable. Any thread.
class SpinLock {
public:
    void lock() noexcept {
        // Sequentially consistent: a user may order a later load after the
        // taking of the lock (the reactor's wake-up test does).
        while (locked_.exchange(true, std::memory_order_seq_cst)) {
            int spins = 0;
            while (locked_.load(std::memory_order_relaxed)) {
                if (++spins < kSpinsBeforeYield) {
                    pause();
                } else {
                    // The holder may have been preempted: let it run.
                    std::this_thread::yield();
                    spins = 0;
                }
            }
        }
    }
    void unlock() noexcept { locked_.store(false, std::memory_order_release); }

    /// One step of a busy wait: tells the processor that it spins.
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

private:
    static constexpr int kSpinsBeforeYield = 64;
    std::atomic<bool> locked_{false};
};

}  // namespace tarn
