#pragma once

#include <cstddef>
#include <new>

namespace tarn {

/// A unit of work for a reactor. For every accepted post() or schedule() the
/// reactor calls exactly one of execute() and discard(), once, unless a
/// scheduled entry is cancelled first (then neither). The reactor never
/// deletes a task: its creator owns it and keeps it alive until one of the two
/// calls has returned; a task may delete itself at the end of either, provided
/// it raises nothing afterwards.
///
/// A task made with plain new takes its memory from a recycler of small
/// blocks rather than from the heap: a task posted by one thread and deleted
/// by the loop's thread hands its block back for the poster's next task, with
/// no lock and no allocator call once the traffic is steady. Delete it as
/// usual (the virtual destructor gives the recycler its size). Placement,
/// nothrow and over-aligned forms behave as the global ones.
class Task {
public:
    virtual ~Task() = default;
    /// The work, on the reactor thread.
    virtual void execute() = 0;
    /// Called instead of execute() when the reactor will not run the task: on
    /// the reactor thread while its loop ends, or at once on the poster's
    /// thread when the reactor had already stopped.
    virtual void discard() = 0;

    /// Whether new tasks come from the recycler (not in address-sanitizer
    /// builds, which take each from the heap). Any thread.
    static bool recyclesMemory() noexcept;

    // Any thread.
    static void* operator new(std::size_t size);
    static void operator delete(void* block, std::size_t size) noexcept;
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* block, const std::nothrow_t&) noexcept;
    static void* operator new(std::size_t, void* where) noexcept { return where; }
    static void operator delete(void*, void*) noexcept {}
    static void* operator new(std::size_t size, std::align_val_t align) { return ::operator new(size, align); }
    static void operator delete(void* block, std::align_val_t align) noexcept { ::operator delete(block, align); }
};

}  // namespace tarn
