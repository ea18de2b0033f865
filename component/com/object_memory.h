// Memory for the component's objects. Loading the task list creates a Task,
// its Triggers and a Trigger for each trigger of every stored item, and keeps
// them all; taken from the process heap one by one, their blocks cost more
// than the rest of the load. Here blocks of one size are cut in turn from
// 64 KB slabs, and a block whose object has ended waits on its size's free
// list for the next object of that size. When no block is in use any more,
// the slabs go back to the heap.
#pragma once

#include <cstddef>

namespace velqosch {

// The largest object served from the slabs; larger ones come from the heap.
constexpr std::size_t kLargestPooledObject = 256;

// A block for an object of `size` bytes (std::bad_alloc when there is no
// memory), and its return. Safe from any thread.
void *TakeObjectMemory(std::size_t size);
void GiveObjectMemory(void *block, std::size_t size) noexcept;

// Blocks in use and slabs held, for tests and diagnostics.
struct ObjectMemoryState {
    std::size_t blocksInUse = 0;
    std::size_t slabs = 0;
};
ObjectMemoryState ObjectMemory() noexcept;

}  // namespace velqosch
