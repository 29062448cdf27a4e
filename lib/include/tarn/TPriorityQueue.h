#pragma once

#include "tarn/TList.h"

#include <utility>

namespace tarn {

/// One entry of a TPriorityQueue.
template <typename T, typename P>
struct PriorityData {
    P priority;
    T data;
};

/// A list kept sorted by priority: ascending (smallest first) when
/// `descending` is zero, else largest first. Entries of equal priority keep
/// the order in which they were pushed, so the front entry is always the
/// next to serve. P needs <= and >= forming a total order. Insertion is
/// linear (constant when the new entry goes last), peek and pop constant. No lock: its owner guards it. Never deletes what the data
/// point to.
template <typename T, typename P>
class TPriorityQueue : public TList<PriorityData<T, P>> {
    using Base = TList<PriorityData<T, P>>;
    using Node = typename Base::Node;

public:
    explicit TPriorityQueue(int descending = 0) : descending_(descending) {}
    ~TPriorityQueue() override = default;

    /// Inserts behind every entry that is to be served no later than it;
    /// returns the new count.
    int push(const T& data, P priority) {
        // The walk from the head would pass every entry when the tail is
        // served no later than the new one (the usual case of timers set in
        // increasing order): append at once.
        Node* at = this->head_;
        const Node* tail = this->tail_;
        if (descending_ != 0) {
            if (tail != nullptr && tail->value.priority >= priority) at = nullptr;
            while (at != nullptr && at->value.priority >= priority) at = at->next;
        } else {
            if (tail != nullptr && tail->value.priority <= priority) at = nullptr;
            while (at != nullptr && at->value.priority <= priority) at = at->next;
        }
        auto* n = new Node{PriorityData<T, P>{std::move(priority), data}, nullptr, nullptr};
        if (at != nullptr) {
            this->insertBefore(n, at);
        } else {
            this->appendNode(n);
        }
        return this->count_;
    }

    /// The front entry, left in place. Raises on an empty queue.
    PriorityData<T, P>& peek() {
        if (this->head_ == nullptr) throw QuorException("peek(): the list is empty.  Nothing to peek at.");
        return this->head_->value;
    }

    /// Removes the front entry and returns it. Raises on an empty queue.
    PriorityData<T, P> pop() {
        Node* n = this->head_;
        if (n == nullptr) throw QuorException("pop(): the list is empty.  Nothing to pop.");
        PriorityData<T, P> entry = std::move(n->value);
        this->unlink(n);
        delete n;
        return entry;
    }

    int isDescending() const { return descending_; }

private:
    const int descending_;
};

}  // namespace tarn
