#include "tarn/ThreadLock.h"

namespace tarn {

ThreadLock::~ThreadLock() {
    // Only the holder may release; a lock held by another thread at
    // destruction is that thread's error and is left alone.
    unlock();
}

void ThreadLock::lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (owner_.load() == self) return;  // already ours
    mutex_.lock();
    owner_.store(self);
}

void ThreadLock::unlock() {
    if (owner_.load() != std::this_thread::get_id()) return;  // not ours to release
    owner_.store(std::thread::id());
    mutex_.unlock();
}

}  // namespace tarn
