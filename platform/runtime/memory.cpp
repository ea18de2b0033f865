// The task allocator and the allocation-failure seam.
#include "internal.h"

#include <atomic>
#include <cstdlib>

namespace velqo::rt {
namespace {
// Successful allocations left before the armed failure; negative = disarmed.
std::atomic<long> g_allocationsBeforeFailure{-1};
}  // namespace

bool AllocationAllowed() {
    long left = g_allocationsBeforeFailure.load(std::memory_order_relaxed);
    while (left >= 0) {
        long next = left == 0 ? -1 : left - 1;
        if (g_allocationsBeforeFailure.compare_exchange_weak(left, next, std::memory_order_relaxed))
            return left != 0;
    }
    return true;
}

void *CountedAlloc(std::size_t cb) {
    if (!AllocationAllowed()) return nullptr;
    return std::malloc(cb ? cb : 1);
}

}  // namespace velqo::rt

VQAPI void VelqoFailAllocationAfter(long n) {
    velqo::rt::g_allocationsBeforeFailure.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

VQAPI LPVOID CoTaskMemAlloc(SIZE_T cb) { return velqo::rt::CountedAlloc(cb); }

VQAPI LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    if (!pv) return CoTaskMemAlloc(cb);
    if (cb == 0) {
        std::free(pv);
        return nullptr;
    }
    if (!velqo::rt::AllocationAllowed()) return nullptr;  // the old block stays valid
    return std::realloc(pv, cb);
}

VQAPI void CoTaskMemFree(LPVOID pv) { std::free(pv); }
