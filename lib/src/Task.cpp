#include "tarn/Task.h"

#include <atomic>
#include <cstdint>

// Sanitizer builds take every task from the heap, so that the address
// sanitizer still sees each task's own lifetime.
#if defined(__SANITIZE_ADDRESS__)
#define TARN_TASK_RECYCLER 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_TASK_RECYCLER 0
#endif
#endif
#ifndef TARN_TASK_RECYCLER
#define TARN_TASK_RECYCLER 1
#endif

namespace tarn {

namespace {

constexpr std::size_t kGrain = 16;
constexpr std::size_t kLargest = 256;  // bigger tasks come from the heap
constexpr std::size_t kClasses = kLargest / kGrain;
constexpr std::size_t kKeptBytesPerClass = std::size_t{1} << 20;

// A returned block's first word links it to the next one.
struct Block {
    Block* next;
};

constexpr std::size_t classOf(std::size_t size) { return (size + kGrain - 1) / kGrain - 1; }
constexpr std::size_t sizeOf(std::size_t cls) { return (cls + 1) * kGrain; }
constexpr std::uintptr_t keptLimit(std::size_t cls) { return kKeptBytesPerClass / sizeOf(cls); }

// The returned blocks of each size, from every thread: a stack whose one word
// holds the top block's address (low 48 bits) and the stack's depth (high
// 16). Threads push one block at a time and a taker takes the whole stack in
// one exchange, so no block is read while another thread may hold it.
// Process-wide, as the heap it stands in front of is.
constexpr unsigned kDepthShift = 48;
constexpr std::uintptr_t kAddressMask = (std::uintptr_t{1} << kDepthShift) - 1;
std::atomic<std::uintptr_t> returnedBlocks[kClasses];

Block* addressOf(std::uintptr_t word) { return reinterpret_cast<Block*>(word & kAddressMask); }
std::uintptr_t depthOf(std::uintptr_t word) { return word >> kDepthShift; }

// What one thread has taken and not yet handed out. Trivially destructible,
// so that it is still usable from later thread-exit code once the reaper
// below has emptied it.
struct ThreadBlocks {
    Block* spare[kClasses];
    bool closed;
};
thread_local ThreadBlocks threadBlocks{};

// Gives the thread's untaken blocks back to the heap as the thread ends;
// later tasks of this thread go straight to the heap.
struct ThreadReaper {
    bool armed = false;
    ~ThreadReaper() {
        for (Block*& list : threadBlocks.spare) {
            while (list != nullptr) {
                Block* next = list->next;
                ::operator delete(list);
                list = next;
            }
        }
        threadBlocks.closed = true;
    }
};
thread_local ThreadReaper threadReaper;

void* takeBlock(std::size_t size) {
    const std::size_t cls = classOf(size);
    ThreadBlocks& mine = threadBlocks;
    // Every block is of its class's full size, wherever it came from: it
    // may be handed out again for any task of the class.
    if (mine.closed) return ::operator new(sizeOf(cls));
    Block* b = mine.spare[cls];
    if (b == nullptr) {
        threadReaper.armed = true;  // constructs the reaper for this thread
        b = addressOf(returnedBlocks[cls].exchange(0, std::memory_order_acquire));
        if (b == nullptr) return ::operator new(sizeOf(cls));
    }
    mine.spare[cls] = b->next;
    return b;
}

void giveBlock(void* block, std::size_t size) {
    const std::size_t cls = classOf(size);
    auto* b = static_cast<Block*>(block);
    std::atomic<std::uintptr_t>& stack = returnedBlocks[cls];
    const auto address = reinterpret_cast<std::uintptr_t>(b);
    std::uintptr_t top = stack.load(std::memory_order_relaxed);
    for (;;) {
        // Full, or an address the word cannot carry: back to the heap.
        if (depthOf(top) >= keptLimit(cls) || (address & ~kAddressMask) != 0) {
            ::operator delete(block);
            return;
        }
        b->next = addressOf(top);
        const std::uintptr_t pushed = address | ((depthOf(top) + 1) << kDepthShift);
        if (stack.compare_exchange_weak(top, pushed, std::memory_order_release, std::memory_order_relaxed)) return;
    }
}

}  // namespace

bool Task::recyclesMemory() noexcept { return TARN_TASK_RECYCLER != 0; }

void* Task::operator new(std::size_t size) {
    if (!TARN_TASK_RECYCLER || size > kLargest) return ::operator new(size);
    return takeBlock(size);
}

void Task::operator delete(void* block, std::size_t size) noexcept {
    if (block == nullptr) return;
    if (!TARN_TASK_RECYCLER || size > kLargest) {
        ::operator delete(block);
        return;
    }
    giveBlock(block, size);
}

void* Task::operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return Task::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void Task::operator delete(void* block, const std::nothrow_t&) noexcept {
    // Only a constructor that raised after a nothrow new comes here, and
    // without the size: the block goes to the heap, where a recycled block
    // belongs as well (every one was made with plain new).
    ::operator delete(block);
}

}  // namespace tarn
