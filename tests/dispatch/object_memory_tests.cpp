// The component's object memory: blocks that never overlap, reuse instead of
// growth, the slabs handed back once the last object has ended, and several
// threads at once.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "component/com/object_memory.h"

namespace {

using velqosch::GiveObjectMemory;
using velqosch::ObjectMemory;
using velqosch::TakeObjectMemory;

struct Block {
    unsigned char *at;
    std::size_t size;
};

// Takes blocks of every size up to past the largest pooled one, fills each
// with its own pattern, checks them all, and gives them back.
void TakeFillCheckGive(unsigned seed, int rounds) {
    std::vector<Block> blocks;
    for (int round = 0; round < rounds; ++round)
        for (std::size_t size = 1; size <= velqosch::kLargestPooledObject + 40; size += 13) {
            auto *at = static_cast<unsigned char *>(TakeObjectMemory(size));
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % 16, 0u) << size;
            std::memset(at, static_cast<int>((seed + blocks.size()) & 0xFF), size);
            blocks.push_back({at, size});
        }
    for (std::size_t i = 0; i < blocks.size(); ++i)
        for (std::size_t k = 0; k < blocks[i].size; ++k)
            ASSERT_EQ(blocks[i].at[k], (seed + i) & 0xFF) << "block " << i << " of " << blocks[i].size << " bytes";
    for (const Block &b : blocks) GiveObjectMemory(b.at, b.size);
}

TEST(ObjectMemory, BlocksAreDistinctReusedAndHandedBackWithTheLast) {
    ASSERT_EQ(ObjectMemory().blocksInUse, 0u) << "an object of an earlier test is still alive";
    TakeFillCheckGive(1, 300);
    EXPECT_EQ(ObjectMemory().slabs, 0u) << "the last block's return hands the slabs back";

    // One object kept alive while others come and go: the memory is reused.
    void *kept = TakeObjectMemory(152);
    for (int i = 0; i < 100000; ++i) GiveObjectMemory(TakeObjectMemory(120 + i % 16), 120 + i % 16);
    EXPECT_EQ(ObjectMemory().slabs, 1u);
    EXPECT_EQ(ObjectMemory().blocksInUse, 1u);
    GiveObjectMemory(kept, 152);

    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) threads.emplace_back([t] { TakeFillCheckGive(t * 64, 200); });
    for (std::thread &thread : threads) thread.join();
    EXPECT_EQ(ObjectMemory().blocksInUse, 0u);
    EXPECT_EQ(ObjectMemory().slabs, 0u);
}

}  // namespace
