#include "tarn/BaseThread.h"

#include <climits>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace tarn {

// One created thread: its std::thread and a manual-reset event set when
// run() has returned. Owned jointly by the BaseThread (while it is the
// latest) and by the thread itself.
struct BaseThread::ThreadRecord {
    std::thread thread;  // accessed under the owner's startLock_
    platform::Event ended{true, false};
    std::atomic<uint32_t> osId{0};
};

BaseThread::BaseThread(int maxStarts) : maxStarts_(maxStarts) { setState(0); }

BaseThread::~BaseThread() {
    std::lock_guard<std::mutex> guard(startLock_);
    if (threadHandle_ && threadHandle_->thread.joinable()) {
        // Reap a thread that has ended; never wait for one that has not
        // (that is the subclass's business), and never destroy a joinable
        // std::thread, which would end the process.
        const bool ended = threadHandle_->ended.wait(0) == platform::kWaitObject0;
        if (ended && threadHandle_->thread.get_id() != std::this_thread::get_id()) {
            threadHandle_->thread.join();
        } else {
            threadHandle_->thread.detach();
        }
    }
}

void BaseThread::threadMain(BaseThread* self, std::shared_ptr<ThreadRecord> record) {
    record->osId.store(static_cast<uint32_t>(::gettid()));
    self->run();
    // The joiner may destroy *self once this lands; the record stays alive
    // through our own reference.
    record->ended.set();
}

int BaseThread::start() {
    setState(1);
    std::lock_guard<std::mutex> guard(startLock_);
    if (startCount_ == maxStarts_) return 4;
    if (startCount_ < INT_MAX) ++startCount_;
    if (threadHandle_) {
        // Release the earlier thread without waiting for it.
        if (threadHandle_->thread.joinable()) threadHandle_->thread.detach();
        threadHandle_.reset();
    }
    try {
        auto record = std::make_shared<ThreadRecord>();
        record->thread = std::thread(&BaseThread::threadMain, this, record);
        threadHandle_ = std::move(record);
    } catch (const std::system_error&) {
        return 1;
    } catch (const std::bad_alloc&) {
        return 1;
    }
    return 0;
}

int BaseThread::wait(unsigned long milliseconds) {
    const auto ms = static_cast<uint32_t>(milliseconds > platform::kInfinite ? platform::kInfinite : milliseconds);
    return wakeEvent_.wait(ms) == platform::kWaitTimeout ? 3 : 0;
}

int BaseThread::wake() {
    wakeEvent_.set();
    return 0;
}

int BaseThread::join(unsigned long milliseconds) {
    std::shared_ptr<ThreadRecord> record;
    {
        std::lock_guard<std::mutex> guard(startLock_);
        record = threadHandle_;
    }
    if (!record) return 0;
    const auto ms = static_cast<uint32_t>(milliseconds > platform::kInfinite ? platform::kInfinite : milliseconds);
    const uint32_t r = record->ended.wait(ms);
    if (r == platform::kWaitTimeout) return 3;
    if (r == platform::kWaitObject0) {
        // The thread has only its return left to do: reap it, unless a
        // restart detached it meanwhile or it is the caller itself.
        std::lock_guard<std::mutex> guard(startLock_);
        if (record->thread.joinable() && record->thread.get_id() != std::this_thread::get_id()) {
            record->thread.join();
        }
    }
    return 0;
}

void BaseThread::setState(int state) {
    // A caller already holding the lock keeps it: taking it again would be a
    // no-op, and the release would end the caller's hold early.
    if (lock_.isHeldByCurrentThread()) {
        state_.store(state);
        return;
    }
    std::lock_guard<ThreadLock> guard(lock_);
    state_.store(state);
}

platform::Waitable* BaseThread::getThreadHandle() {
    std::lock_guard<std::mutex> guard(startLock_);
    return threadHandle_ ? &threadHandle_->ended : nullptr;
}

uint32_t BaseThread::getOsThreadId() {
    std::lock_guard<std::mutex> guard(startLock_);
    return threadHandle_ ? threadHandle_->osId.load() : 0;
}

int BaseThread::getStartCount() {
    std::lock_guard<std::mutex> guard(startLock_);
    return startCount_;
}

}  // namespace tarn
