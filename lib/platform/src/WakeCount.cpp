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

void WakeCount::wakeOne() {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void WakeCount::sleepWhile(uint32_t seen, uint32_t ms) {
    timespec limit{};
    timespec* timeout = nullptr;
    if (ms != kInfinite) {
        limit.tv_sec = static_cast<time_t>(ms / 1000);
        limit.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000;
        timeout = &limit;
    }
    // EAGAIN (the count moved), ETIMEDOUT and EINTR all end the sleep; the
    // caller tells them apart by the count and its clock.
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&count_), FUTEX_WAIT_PRIVATE, seen, timeout, nullptr, 0);
}

}  // namespace tarn::platform
