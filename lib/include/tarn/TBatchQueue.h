#pragma once

#include "tarn/NodeStash.h"
#include "tarn/SpinLock.h"
#include "tarn/TList.h"

#include <atomic>
#include <mutex>

namespace tarn {

/// Many producers push one element at a time; one consumer takes them all
/// in one move and walks its private list with no lock held.
///
/// push(), takeAll() and putAll() hold the queue's own lock, and only for a
/// few pointer assignments: nodes are relinked, never copied, under it. A
/// push reuses a node that recycle() gave back when there is one, and
/// allocates outside the lock only when there is none. The inherited TList
/// operations do not lock; a queue shared between threads is used only
/// through the locking operations. Never deletes what the values point to.
template <typename T>
class TBatchQueue : public TList<T> {
    using Node = typename TList<T>::Node;

public:
    TBatchQueue() = default;
    ~TBatchQueue() override = default;

    /// Appends at the tail. Any thread.
    void push(const T& value) {
        {
            std::lock_guard<SpinLock> guard(lock_);
            if (Node* n = spare_.take()) {
                n->value = value;
                append(n);
                return;
            }
        }
        auto* n = new Node{value, nullptr, nullptr};
        std::lock_guard<SpinLock> guard(lock_);
        append(n);
    }

    /// Moves every element to the end of `destination` (after its own
    /// elements, order kept) and returns how many moved; the queue is left
    /// empty. `destination` is the caller's, unshared.
    int takeAll(TList<T>& destination) {
        std::lock_guard<SpinLock> guard(lock_);
        const int moved = TList<T>::moveAll(*this, destination);
        size_.store(0, std::memory_order_relaxed);
        return moved;
    }

    /// Appends at the tail unless the queue was closed; false (and the value
    /// not stored) once it is. Any thread.
    bool pushUnlessClosed(const T& value) {
        {
            std::lock_guard<SpinLock> guard(lock_);
            if (closed_) return false;
            if (Node* n = spare_.take()) {
                n->value = value;
                append(n);
                return true;
            }
        }
        auto* n = new Node{value, nullptr, nullptr};
        {
            std::lock_guard<SpinLock> guard(lock_);
            if (!closed_) {
                append(n);
                return true;
            }
        }
        delete n;
        return false;
    }

    /// Closes the queue for pushUnlessClosed() and, in the same locked step,
    /// moves every element to `destination` as takeAll() does.
    int closeAndTakeAll(TList<T>& destination) {
        std::lock_guard<SpinLock> guard(lock_);
        closed_ = true;
        const int moved = TList<T>::moveAll(*this, destination);
        size_.store(0, std::memory_order_relaxed);
        return moved;
    }

    /// Moves every element of `source` to the end of the queue (order kept)
    /// and leaves `source` empty. `source` is the caller's, unshared.
    void putAll(TList<T>& source) {
        std::lock_guard<SpinLock> guard(lock_);
        TList<T>::moveAll(source, *this);
        size_.store(this->count_, std::memory_order_relaxed);
    }

    /// Empties `used` (the caller's, unshared, typically a batch taken
    /// earlier and served) and keeps its nodes for later pushes, up to a
    /// bound; the rest are freed outside the lock.
    void recycle(TList<T>& used) {
        Node* first = nullptr;
        Node* last = nullptr;
        const int count = TList<T>::detachAll(used, first, last);
        Node* rest;
        {
            std::lock_guard<SpinLock> guard(lock_);
            rest = spare_.giveChain(first, last, count);
        }
        while (rest != nullptr) {
            Node* next = rest->next;
            delete rest;
            rest = next;
        }
    }

    /// The number of elements as of the latest locked change, read without
    /// the lock: a hint for a consumer deciding whether to look, exact only
    /// when ordered after that change by other means. Any thread.
    int sizeHint() const { return size_.load(std::memory_order_relaxed); }

private:
    void append(Node* n) {
        this->appendNode(n);
        size_.store(this->count_, std::memory_order_relaxed);
    }

    // Spare nodes bound: enough for the bursts a reactor sees, a few
    // hundred kilobytes at most.
    static constexpr int kSpareLimit = 1 << 20;

    SpinLock lock_;
    bool closed_ = false;                 // guarded by lock_
    NodeStash<Node> spare_{kSpareLimit};  // guarded by lock_
    std::atomic<int> size_{0};            // written under lock_
};

}  // namespace tarn
