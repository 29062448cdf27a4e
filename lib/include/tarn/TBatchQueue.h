#pragma once

#include "tarn/TList.h"
#include "tarn/ThreadLock.h"

#include <mutex>

namespace tarn {

/// Many producers push one element at a time; one consumer takes them all
/// in one move and walks its private list with no lock held.
///
/// push(), takeAll() and putAll() hold the queue's own lock, and only for a
/// few pointer assignments: nodes are allocated before the lock is taken
/// and relinked, never copied, under it. The inherited TList operations do
/// not lock; a queue shared between threads is used only through these
/// three. Never deletes what the values point to.
template <typename T>
class TBatchQueue : public TList<T> {
public:
    TBatchQueue() = default;
    ~TBatchQueue() override = default;

    /// Appends at the tail. Any thread.
    void push(const T& value) {
        auto* n = new typename TList<T>::Node{value, nullptr, nullptr};
        std::lock_guard<ThreadLock> guard(lock_);
        this->appendNode(n);
    }

    /// Moves every element to the end of `destination` (after its own
    /// elements, order kept) and returns how many moved; the queue is left
    /// empty. `destination` is the caller's, unshared.
    int takeAll(TList<T>& destination) {
        std::lock_guard<ThreadLock> guard(lock_);
        return TList<T>::moveAll(*this, destination);
    }

    /// Appends at the tail unless the queue was closed; false (and the value
    /// not stored) once it is. Any thread.
    bool pushUnlessClosed(const T& value) {
        auto* n = new typename TList<T>::Node{value, nullptr, nullptr};
        {
            std::lock_guard<ThreadLock> guard(lock_);
            if (!closed_) {
                this->appendNode(n);
                return true;
            }
        }
        delete n;
        return false;
    }

    /// Closes the queue for pushUnlessClosed() and, in the same locked step,
    /// moves every element to `destination` as takeAll() does.
    int closeAndTakeAll(TList<T>& destination) {
        std::lock_guard<ThreadLock> guard(lock_);
        closed_ = true;
        return TList<T>::moveAll(*this, destination);
    }

    /// Moves every element of `source` to the end of the queue (order kept)
    /// and leaves `source` empty. `source` is the caller's, unshared.
    void putAll(TList<T>& source) {
        std::lock_guard<ThreadLock> guard(lock_);
        TList<T>::moveAll(source, *this);
    }

private:
    ThreadLock lock_;
    bool closed_ = false;  // guarded by lock_
};

}  // namespace tarn
