#pragma once

#include <cstdint>
#include <span>

namespace tarn::platform {

/// No time limit for a wait.
constexpr uint32_t kInfinite = 0xFFFFFFFF;
/// Results of the waits, as the Win32 waits give them.
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 258;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

/// Something a thread can wait for beside others: an event, or the shared
/// socket event of a reactor. The object is "signalled" when tryAcquire()
/// would return true; its descriptor polls readable whenever it may have
/// become signalled since the last look.
class Waitable {
public:
    virtual ~Waitable() = default;

    /// A descriptor for poll(2); stays the same for the object's life.
    virtual int pollFd() const = 0;

    /// Non-blocking. True when the object is signalled; an auto-reset object
    /// consumes its signal, so exactly one caller gets true per signal.
    virtual bool tryAcquire() = 0;
};

/// Waits until one of `objects` is signalled or `ms` milliseconds pass
/// (kInfinite: no limit). Returns kWaitObject0 + the index of the lowest
/// signalled object (only that one is acquired), kWaitTimeout, or kWaitFailed.
/// Retries on EINTR with the time left. Any thread.
uint32_t waitAny(std::span<Waitable* const> objects, uint32_t ms);

}  // namespace tarn::platform
