#include "tarn/platform/Event.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace tarn::platform {

namespace {

int createEventFd(bool signalled) {
    const int fd = ::eventfd(signalled ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) throw std::system_error(errno, std::system_category(), "eventfd");
    return fd;
}

}  // namespace

Event::Event(bool manualReset, bool initiallySignalled)
    : fd_(createEventFd(initiallySignalled)), manualReset_(manualReset), state_(initiallySignalled ? 1 : 0) {}

Event::~Event() { ::close(fd_); }

void Event::set() {
    // Signalled already, or another set() has taken the step and is about to
    // write: the two coalesce.
    if (state_.load() & 1) return;
    const int fd = fd_;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const uint64_t s = state_.load();
        if (s & 1) return;
        state_.store(s + 1);
    }
    // The write makes the event signalled, and a waiter may destroy the event
    // as soon as it lands: nothing of *this is used from here on.
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
}

uint64_t Event::readCounter() {
    uint64_t count = 0;
    ssize_t n;
    do {
        n = ::read(fd_, &count, sizeof count);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof count) ? count : 0;  // EAGAIN: empty
}

uint64_t Event::clearAndDrain() {
    // Clear first: a write that lands after the read then finds the flag
    // clear, which is harmless; the reverse order would leave a set flag over
    // an empty counter.
    const uint64_t s = state_.load();
    if (s & 1) state_.store(s + 1);
    const uint64_t count = readCounter();
    drained_ += count;
    return count;
}

bool Event::certainlyEmpty() const {
    const uint64_t s = state_.load();
    return (s & 1) == 0 && drained_ == s / 2;
}

bool Event::tryAcquire() {
    std::lock_guard<std::mutex> guard(lock_);
    if (certainlyEmpty()) return false;
    if (!manualReset_) return clearAndDrain() > 0;
    // A manual-reset event is looked at by taking the count and putting one
    // back, not by poll(): the read is what orders the setter's work before
    // the waiter's (also for ThreadSanitizer). A poller elsewhere that finds
    // the counter empty for that instant is woken by the put-back.
    const uint64_t count = readCounter();
    if (count == 0) return false;
    const uint64_t one = 1;
    ssize_t n;
    do {
        n = ::write(fd_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    drained_ += count - 1;
    return true;
}

void Event::reset() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!certainlyEmpty()) clearAndDrain();
}

uint32_t Event::wait(uint32_t ms) {
    Waitable* const self[1] = {this};
    return waitAny(self, ms);
}

}  // namespace tarn::platform
