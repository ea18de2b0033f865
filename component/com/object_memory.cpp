#include "component/com/object_memory.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELQO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELQO_ASAN 1
#endif
#ifdef VELQO_ASAN
#include <sanitizer/asan_interface.h>
// A block on a free list or not yet cut stays poisoned, so that the address
// sanitizer reports an object used after its end as it would for the heap.
#define VELQO_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VELQO_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VELQO_POISON(p, n) ((void)(p), (void)(n))
#define VELQO_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace velqosch {

namespace {

constexpr std::size_t kGrain = 16;
constexpr std::size_t kClasses = kLargestPooledObject / kGrain;
constexpr std::size_t kSlabSize = 64 * 1024;

struct FreeBlock {
    FreeBlock *next;
};

// The pool's lock. What it guards takes a few instructions, and objects are
// mostly created and ended on their apartment's one thread; a thread that
// finds it taken gives up its turn until it is free.
class SpinLock {
public:
    void lock() noexcept {
        while (held_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() noexcept { held_.clear(std::memory_order_release); }

private:
    std::atomic_flag held_ = ATOMIC_FLAG_INIT;
};

struct Pool {
    SpinLock lock;
    FreeBlock *freeLists[kClasses] = {};
    std::vector<char *> slabs;
    char *cut = nullptr;  // the rest of the newest slab
    std::size_t left = 0;
    std::size_t inUse = 0;
};

// Never destroyed: an object a client still holds when the process ends may
// be released after static destructors have run.
Pool &ThePool() {
    static Pool *pool = new Pool;
    return *pool;
}

std::size_t ClassOf(std::size_t size) { return (size + kGrain - 1) / kGrain - 1; }

}  // namespace

void *TakeObjectMemory(std::size_t size) {
    if (size == 0 || size > kLargestPooledObject) return ::operator new(size);
    const std::size_t index = ClassOf(size);
    const std::size_t rounded = (index + 1) * kGrain;
    Pool &pool = ThePool();
    std::lock_guard<SpinLock> guard(pool.lock);
    void *block = nullptr;
    if (FreeBlock *head = pool.freeLists[index]) {
        VELQO_UNPOISON(head, sizeof(FreeBlock));
        pool.freeLists[index] = head->next;
        block = head;
    } else {
        if (pool.left < rounded) {
            pool.slabs.reserve(pool.slabs.size() + 1);
            char *slab = static_cast<char *>(::operator new (kSlabSize, std::align_val_t{kGrain}));
            VELQO_POISON(slab, kSlabSize);
            pool.slabs.push_back(slab);
            pool.cut = slab;
            pool.left = kSlabSize;
        }
        block = pool.cut;
        pool.cut += rounded;
        pool.left -= rounded;
    }
    VELQO_UNPOISON(block, size);
    ++pool.inUse;
    return block;
}

void GiveObjectMemory(void *block, std::size_t size) noexcept {
    if (!block) return;
    if (size == 0 || size > kLargestPooledObject) {
        ::operator delete(block);
        return;
    }
    const std::size_t index = ClassOf(size);
    Pool &pool = ThePool();
    std::lock_guard<SpinLock> guard(pool.lock);
    if (--pool.inUse == 0) {
        // The last object has ended: nothing points into the slabs any more.
        for (char *slab : pool.slabs) {
            VELQO_UNPOISON(slab, kSlabSize);
            ::operator delete (slab, std::align_val_t{kGrain});
        }
        pool.slabs.clear();
        pool.slabs.shrink_to_fit();
        for (FreeBlock *&list : pool.freeLists) list = nullptr;
        pool.cut = nullptr;
        pool.left = 0;
        return;
    }
    VELQO_POISON(block, (index + 1) * kGrain);
    VELQO_UNPOISON(block, sizeof(FreeBlock));
    auto *free = static_cast<FreeBlock *>(block);
    free->next = pool.freeLists[index];
    pool.freeLists[index] = free;
    VELQO_POISON(block, sizeof(FreeBlock));
}

ObjectMemoryState ObjectMemory() noexcept {
    Pool &pool = ThePool();
    std::lock_guard<SpinLock> guard(pool.lock);
    return {pool.inUse, pool.slabs.size()};
}

}  // namespace velqosch
