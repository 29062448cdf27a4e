#include "tarn/platform/Waitable.h"

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <poll.h>

namespace tarn::platform {

namespace {

// As many objects as one Win32 wait accepts; more is refused, not truncated.
constexpr size_t kMaxWaitObjects = 64;
constexpr int64_t kMaxPollMs = 24 * 3600 * 1000;

int64_t monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

uint32_t waitAny(std::span<Waitable* const> objects, uint32_t ms) {
    const size_t n = objects.size();
    if (n == 0 || n > kMaxWaitObjects) return kWaitFailed;
    pollfd fds[kMaxWaitObjects];
    for (size_t i = 0; i < n; ++i) {
        if (objects[i] == nullptr) return kWaitFailed;
        fds[i] = pollfd{objects[i]->pollFd(), POLLIN, 0};
    }
    const bool infinite = ms == kInfinite;
    const int64_t deadline = infinite ? 0 : monotonicNs() + int64_t{ms} * 1'000'000;
    bool broken = false;
    for (;;) {
        // The lowest signalled object wins; only it is acquired.
        for (size_t i = 0; i < n; ++i) {
            if (objects[i]->tryAcquire()) return kWaitObject0 + static_cast<uint32_t>(i);
        }
        // A descriptor in error would poll ready for ever: fail, never spin.
        if (broken) return kWaitFailed;
        int timeout = -1;
        if (!infinite) {
            const int64_t left = deadline - monotonicNs();
            if (left <= 0) return kWaitTimeout;
            // Round up so that the wait never ends just short of the deadline;
            // a wait longer than poll() takes is served in several rounds.
            const int64_t leftMs = (left + 999'999) / 1'000'000;
            timeout = leftMs > kMaxPollMs ? kMaxPollMs : static_cast<int>(leftMs);
        }
        const int r = ::poll(fds, static_cast<nfds_t>(n), timeout);
        if (r < 0) {
            if (errno == EINTR) continue;  // try again with the time left
            return kWaitFailed;
        }
        for (size_t i = 0; i < n; ++i) {
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) broken = true;
        }
    }
}

}  // namespace tarn::platform
