#include "tarn/ThreadLock.h"

namespace tarn {

ThreadLock::~ThreadLock() {
    // Only the holder may release; a lock held by another thread at
    // destruction is that thread's error and is left alone.
    unlock();
}

// Relaxed order is enough for owner_: a thread only ever finds its own id
// there if it stored it itself, and the mutex orders everything else.
void ThreadLock::lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) return;  // already ours
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
}

void ThreadLock::unlock() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;  // not ours to release
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
}

}  // namespace tarn
