#pragma once

#include "tarn/ThreadLock.h"

#include <mutex>

namespace tarn {

/// A value guarded by its own lock. Each get() and set() is atomic on its
/// own; a get() followed by a set() is not. Any thread.
template <typename T>
class LockedObj {
public:
    /// The value starts value-initialised; owners store their first value
    /// with set() right after construction.
    LockedObj() = default;
    virtual ~LockedObj() = default;

    LockedObj(const LockedObj&) = delete;
    LockedObj& operator=(const LockedObj&) = delete;

    /// A copy of the value, taken under the lock.
    T get() {
        std::lock_guard<ThreadLock> guard(lock_);
        return value_;
    }

    void set(const T& value) {
        std::lock_guard<ThreadLock> guard(lock_);
        value_ = value;
    }

private:
    ThreadLock lock_;
    T value_{};  // guarded by lock_
};

}  // namespace tarn
