#pragma once

#include "tarn/NodeStash.h"
#include "tarn/TList.h"

#include <iterator>
#include <map>
#include <new>
#include <memory>
#include <utility>
#include <vector>

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
/// next to serve. P needs <= and >= forming a total order.
///
/// Beside the list it keeps an index of its runs of equal priority (first
/// and last node of each), so that push finds its place in logarithmic time
/// rather than by walking the list: a timer queue with many entries at
/// random times stays cheap to fill. The list itself, and so every walk and
/// removal through the base class, is the same as without the index. No
/// lock: its owner guards it. Never deletes what the data point to.
///
/// Nodes of the list and of the index that leave the queue are kept for
/// later pushes (up to a bound), so a timer queue in steady use does not
/// allocate per push.
template <typename T, typename P>
class TPriorityQueue : public TList<PriorityData<T, P>> {
    using Base = TList<PriorityData<T, P>>;
    using Node = typename Base::Node;

    // Orders keys as the list does: true when a is served strictly before b.
    struct ServedBefore {
        bool descending;
        bool operator()(const P& a, const P& b) const { return descending ? !(a <= b) : !(a >= b); }
    };
    struct Run {
        Node* first;
        Node* last;
        int count;
    };
    using Runs = std::map<P, Run, ServedBefore, PoolAllocator<std::pair<const P, Run>>>;

public:
    explicit TPriorityQueue(int descending = 0)
        : descending_(descending),
          runs_(ServedBefore{descending != 0}, PoolAllocator<std::pair<const P, Run>>(&runBlocks_)) {}
    ~TPriorityQueue() override = default;

    /// Inserts behind every entry that is to be served no later than it and
    /// in front of the first one served after it; returns the new count.
    int push(const T& data, P priority) {
        // Allocate before touching the list, so that a failed allocation
        // leaves the queue as it was.
        Node* n = takeSpare(data, priority);
        // Both neighbours come from the index: the list's own links are only
        // written, so a push into a large queue does not wait on a node that
        // is far from the cache. The index is small (one entry per distinct
        // priority) and stays near.
        const ServedBefore servedBefore = runs_.key_comp();
        try {
            if (this->tail_ != nullptr && !servedBefore(priority, this->tail_->value.priority)) {
                // Served no earlier than the tail (the usual case of timers
                // set in increasing order): append, extending the last run or
                // starting one at the end of the index, without a search.
                auto last = std::prev(runs_.end());
                if (servedBefore(last->first, priority)) {
                    last = runs_.emplace_hint(runs_.end(), std::move(priority), Run{n, n, 0});
                }
                this->linkBetween(n, this->tail_, nullptr);
                last->second.last = n;
                ++last->second.count;
                return this->count_;
            }
            auto run = runs_.lower_bound(priority);
            if (run != runs_.end() && !servedBefore(priority, run->first)) {
                // A run of this priority: behind its last entry, in front of
                // the first entry of the next run.
                auto next = std::next(run);
                this->linkBetween(n, run->second.last, next != runs_.end() ? next->second.first : nullptr);
                run->second.last = n;
                ++run->second.count;
                return this->count_;
            }
            // A new run in front of `run` (the end only in an empty queue)
            // and behind the run before it, if any.
            Node* before = run != runs_.end() ? run->second.first : nullptr;
            Node* after = run != runs_.begin() ? std::prev(run)->second.last : nullptr;
            runs_.emplace_hint(run, std::move(priority), Run{n, n, 1});
            this->linkBetween(n, after, before);
        } catch (...) {
            releaseNode(n);
            throw;
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
        this->unlink(n);  // the index looks the node's priority up: move it out after
        PriorityData<T, P> entry = std::move(n->value);
        releaseNode(n);
        return entry;
    }

    int isDescending() const { return descending_; }

protected:
    void releaseNode(Node* n) override {
        // Kept by address only: giving a node back writes nothing to it.
        if (spareNodes_.size() < kSpareLimit) {
            try {
                spareNodes_.push_back(n);
                return;
            } catch (const std::bad_alloc&) {
            }
        }
        delete n;
    }

    void unlinking(const Node* n) override {
        // The front entry (every pop) belongs to the first run: no search.
        auto run = n == this->head_ ? runs_.begin() : runs_.find(n->value.priority);
        if (run == runs_.end()) return;  // cannot happen: every node is indexed
        Run& r = run->second;
        if (--r.count == 0) {
            runs_.erase(run);
            return;
        }
        if (r.first == n) r.first = n->next;
        if (r.last == n) r.last = n->prev;
    }

private:
    // As many spare entries as a busy timer queue holds; a few megabytes at most.
    static constexpr size_t kSpareLimit = size_t{1} << 17;

    // A spare node holding the entry, or a new one; raises only when none
    // can be had.
    Node* takeSpare(const T& data, const P& priority) {
        if (spareNodes_.empty()) return new Node{PriorityData<T, P>{priority, data}, nullptr, nullptr};
        Node* n = spareNodes_.back();
        spareNodes_.pop_back();
        n->value.priority = priority;
        n->value.data = data;
        return n;
    }

    static void deleteAll(std::vector<Node*>& nodes) {
        for (Node* n : nodes) delete n;
    }

    const int descending_;
    // Declared before the index and after nothing that uses them: they
    // outlive the index's nodes and are gone before the base frees the list.
    BlockStash runBlocks_{static_cast<int>(kSpareLimit)};
    struct Spares : std::vector<Node*> {
        ~Spares() { deleteAll(*this); }
    } spareNodes_;
    Runs runs_;
};

}  // namespace tarn
