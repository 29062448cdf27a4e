#pragma once

#include "tarn/TList.h"

#include <utility>

namespace tarn {

/// First in, first out: add() at the tail, pop() and peek() at the head.
/// No lock: its owner guards it. Never deletes what the values point to.
template <typename T>
class TQueue : public TList<T> {
public:
    TQueue() = default;
    ~TQueue() override = default;

    /// Removes the head and returns its value. Raises on an empty queue.
    T pop() {
        typename TList<T>::Node* n = this->head_;
        if (n == nullptr) throw QuorException("pop(): the list is empty.  Nothing to pop.");
        T value = std::move(n->value);
        this->unlink(n);
        delete n;
        return value;
    }

    /// The head's value, left in place. Raises on an empty queue.
    T& peek() {
        if (this->head_ == nullptr) throw QuorException("peek(): the list is empty.  Nothing to peek at.");
        return this->head_->value;
    }
};

}  // namespace tarn
