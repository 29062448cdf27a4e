#include "tarn/platform/WakeCount.h"

#include "tarn/platform/Waitable.h"

#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tarn::platform {

// std::atomic<uint32_t> is a plain 32-bit word on Linux, which is what the
// futex calls need.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

namespace {

uint32_t* futexWord(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

}  // namespace

bool WakeCount::bump() {
    uint32_t old = word_.load();
    while (!word_.compare_exchange_weak(old, (old + 2) & ~kMarked)) {
    }
    if ((old & kMarked) == 0) return false;
    ::syscall(SYS_futex, futexWord(word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    return true;
}

void WakeCount::sleepWhile(uint32_t seen, uint32_t ms) {
    uint32_t expected = seen << 1;
    if (!word_.compare_exchange_strong(expected, expected | kMarked)) return;  // the count moved
    timespec limit{};
    timespec* timeout = nullptr;
    if (ms != kInfinite) {
        limit.tv_sec = static_cast<time_t>(ms / 1000);
        limit.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000;
        timeout = &limit;
    }
    // Sleeps only while the word is still the marked one: a bump before the
    // call makes it return at once. Woken, timed out or interrupted alike,
    // the mark goes (a bump may have taken it already).
    ::syscall(SYS_futex, futexWord(word_), FUTEX_WAIT_PRIVATE, expected | kMarked, timeout, nullptr, 0);
    word_.fetch_and(~kMarked);
}

}  // namespace tarn::platform
