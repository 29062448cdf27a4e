#pragma once

#include "tarn/QuorException.h"

namespace tarn {

/// A doubly linked list of values (in the library always pointers). It never
/// deletes what the values point to. No lock: its owner guards it.
///
///   head                                tail
///    |                                   |
///    v                                   v
///   [v0] <-prev-- [v1] <-prev-- ... -- [vN]
///    |  --next-->      --next-->        |
///   prev = null                      next = null
///
/// head and tail are both null exactly when count is 0. Misuse raises
/// QuorException with a fixed message and leaves the list unchanged.
template <typename T>
class TList {
public:
    struct Node {
        T value;
        Node* next;
        Node* prev;
    };

    /// Walks a list from its head. It does not notice changes made by
    /// others: the current node must stay in the list while the iterator
    /// stands on it (only remove(Iterator&) through this iterator may take it).
    ///
    ///   for (TList<T>::Iterator it(list); it.hasCurrent(); it.Step()) use(it.iterator());
    class Iterator {
    public:
        explicit Iterator(TList& list) : list_(&list), current_(list.head_) {}
        virtual ~Iterator() = default;

        /// False once the iterator has stepped past the last element.
        bool hasCurrent() const { return current_ != nullptr; }

        /// The current element.
        T& iterator() {
            if (current_ == nullptr) throw QuorException("TList::Iterator::iterator(): the interator is null.");
            return current_->value;
        }

        /// Moves to the next element and returns it, or null past the last.
        T* Step() {
            if (current_ == nullptr) throw QuorException("TList::Iterator::Step(): No more entries.  Unable to step.");
            current_ = current_->next;
            return current_ != nullptr ? &current_->value : nullptr;
        }

    private:
        friend class TList;
        TList* list_;
        Node* current_;  // null: past the end
    };

    TList() = default;
    /// Frees every node, not what the values point to.
    virtual ~TList() { clear(); }

    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;

    /// Appends at the tail; returns the new count.
    int add(const T& value) {
        appendNode(new Node{value, nullptr, nullptr});
        return count_;
    }

    /// Removes the first element equal to `value`; later equal ones stay.
    void remove(const T& value) {
        Node* n = head_;
        while (n != nullptr && !(n->value == value)) n = n->next;
        if (n == nullptr) throw QuorException("TList::remove(): value does not exist");
        unlink(n);
        releaseNode(n);
    }

    /// Removes the iterator's current element and moves the iterator to the
    /// one that followed. The iterator must be on an element of this list.
    void remove(Iterator& it) {
        Node* n = it.current_;
        if (n == nullptr || it.list_ != this) throw QuorException("TList::remove(): value does not exist");
        it.current_ = n->next;
        unlink(n);
        releaseNode(n);
    }

    int getCount() const { return count_; }

    /// The first and last nodes (null when empty), for reading the links.
    const Node* first() const { return head_; }
    const Node* last() const { return tail_; }

protected:
    void appendNode(Node* n) { linkBetween(n, tail_, nullptr); }

    /// Links n between two neighbours the caller already knows (`after` null:
    /// n becomes the head; `before` null: the tail), with stores only, so
    /// that a caller that knows both never waits for a neighbour's links.
    void linkBetween(Node* n, Node* after, Node* before) {
        n->prev = after;
        n->next = before;
        if (after != nullptr) {
            after->next = n;
        } else {
            head_ = n;
        }
        if (before != nullptr) {
            before->prev = n;
        } else {
            tail_ = n;
        }
        ++count_;
    }

    void insertBefore(Node* n, Node* before) {
        n->next = before;
        n->prev = before->prev;
        if (before->prev != nullptr) {
            before->prev->next = n;
        } else {
            head_ = n;
        }
        before->prev = n;
        ++count_;
    }

    /// Called with every node about to leave the list (its links still in
    /// place), except when the list is destroyed. A subclass that indexes its
    /// nodes keeps the index right here.
    virtual void unlinking(const Node* n) { (void)n; }

    /// Frees a node that has left the list. A subclass that keeps spare
    /// nodes takes it back here; the destructor still deletes what remains
    /// linked, so every node must come from plain new.
    virtual void releaseNode(Node* n) { delete n; }

    void unlink(Node* n) {
        unlinking(n);
        if (n->prev != nullptr) {
            n->prev->next = n->next;
        } else {
            head_ = n->next;
        }
        if (n->next != nullptr) {
            n->next->prev = n->prev;
        } else {
            tail_ = n->prev;
        }
        n->next = n->prev = nullptr;
        --count_;
    }

    /// Relinks every node of `from` to the end of `to` (order kept, no
    /// allocation) and empties `from`; returns the number moved.
    static int moveAll(TList& from, TList& to) {
        if (&from == &to || from.head_ == nullptr) return 0;
        const int moved = from.count_;
        if (to.head_ == nullptr) {
            to.head_ = from.head_;
        } else {
            to.tail_->next = from.head_;
            from.head_->prev = to.tail_;
        }
        to.tail_ = from.tail_;
        to.count_ += moved;
        from.head_ = from.tail_ = nullptr;
        from.count_ = 0;
        return moved;
    }

    /// Takes every node out of `from` as one chain (first to last, linked
    /// through next) and leaves it empty; returns how many there were.
    static int detachAll(TList& from, Node*& first, Node*& last) {
        first = from.head_;
        last = from.tail_;
        const int count = from.count_;
        from.head_ = from.tail_ = nullptr;
        from.count_ = 0;
        return count;
    }

    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    int count_ = 0;

private:
    void clear() {
        Node* n = head_;
        while (n != nullptr) {
            Node* next = n->next;
            delete n;
            n = next;
        }
        head_ = tail_ = nullptr;
        count_ = 0;
    }
};

}  // namespace tarn
