#pragma once

#include <cstddef>
#include <new>

namespace tarn {

/// Spare list nodes kept for reuse, so that a container filled and emptied
/// over and over stops allocating once it has reached its usual size. Nodes
/// are chained through their `next` link; at most `limit` are kept, the rest
/// are deleted. Every node was allocated with plain new, so a node taken from
/// here may be freed with delete by whichever list ends up holding it.
/// No lock: the container that owns it guards it.
template <typename Node>
class NodeStash {
public:
    explicit NodeStash(int limit) : limit_(limit) {}
    ~NodeStash() {
        while (spare_ != nullptr) delete take();
    }
    NodeStash(const NodeStash&) = delete;
    NodeStash& operator=(const NodeStash&) = delete;

    /// A spare node (its value as it was left), or null when none is kept.
    Node* take() {
        Node* n = spare_;
        if (n != nullptr) {
            spare_ = n->next;
            --count_;
            // The next take will want it; it was last touched by whoever
            // gave it back, often another thread.
            if (spare_ != nullptr) __builtin_prefetch(spare_, 1);
        }
        return n;
    }

    /// Keeps the node, or deletes it when the stash is full.
    void give(Node* n) {
        if (count_ >= limit_) {
            delete n;
            return;
        }
        n->next = spare_;
        spare_ = n;
        ++count_;
    }

    /// Keeps as much of a chain of `count` nodes linked through `next` from
    /// `first` to `last` as fits, in one step when all of it fits; returns
    /// the part that did not fit (linked through `next`, null-terminated),
    /// for the caller to delete where no lock is held.
    Node* giveChain(Node* first, Node* last, int count) {
        if (first == nullptr) return nullptr;
        if (count_ + count <= limit_) {
            last->next = spare_;
            spare_ = first;
            count_ += count;
            return nullptr;
        }
        while (first != nullptr && count_ < limit_) {
            Node* next = first == last ? nullptr : first->next;
            give(first);
            first = next;
        }
        if (first != nullptr) last->next = nullptr;
        return first;
    }

    int count() const { return count_; }

private:
    const int limit_;
    Node* spare_ = nullptr;  // chained through next
    int count_ = 0;
};

/// Blocks of one size kept for reuse by a node-based standard container
/// (through PoolAllocator): the size is the first one asked for, other sizes
/// go straight to the heap. At most `limit` blocks are kept. No lock: the
/// container that owns it guards it.
class BlockStash {
public:
    explicit BlockStash(int limit) : limit_(limit) {}
    ~BlockStash() {
        while (spare_ != nullptr) {
            Block* next = spare_->next;
            ::operator delete(spare_);
            spare_ = next;
        }
    }
    BlockStash(const BlockStash&) = delete;
    BlockStash& operator=(const BlockStash&) = delete;

    void* allocate(std::size_t bytes) {
        if (size_ == 0 && bytes >= sizeof(Block)) size_ = bytes;
        if (bytes == size_ && spare_ != nullptr) {
            Block* b = spare_;
            spare_ = b->next;
            --count_;
            return b;
        }
        return ::operator new(bytes);
    }

    void deallocate(void* p, std::size_t bytes) {
        if (bytes != size_ || count_ >= limit_) {
            ::operator delete(p);
            return;
        }
        Block* b = static_cast<Block*>(p);
        b->next = spare_;
        spare_ = b;
        ++count_;
    }

private:
    struct Block {
        Block* next;
    };
    const int limit_;
    std::size_t size_ = 0;  // 0 until the first allocation
    Block* spare_ = nullptr;
    int count_ = 0;
};

/// A standard allocator drawing single objects from a BlockStash it does not
/// own; arrays come from the heap.
template <typename T>
class PoolAllocator {
public:
    using value_type = T;
    explicit PoolAllocator(BlockStash* stash) : stash_(stash) {}
    template <typename U>
    PoolAllocator(const PoolAllocator<U>& other) : stash_(other.stash()) {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (n == 1) return static_cast<T*>(stash_->allocate(sizeof(T)));
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) {
        if (n == 1) {
            stash_->deallocate(p, sizeof(T));
        } else {
            ::operator delete(p);
        }
    }
    BlockStash* stash() const { return stash_; }
    template <typename U>
    bool operator==(const PoolAllocator<U>& other) const {
        return stash_ == other.stash();
    }

private:
    BlockStash* stash_;
};

}  // namespace tarn
