#include "storage/pager/MemoryPool.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

TEST(MemoryPoolTest, ReleasedBlocksAreReusedAndTrimKeepsOnlyTheNewestFree) {
    MemoryPool pool;
    std::vector<PoolBlock> blocks;
    for (int i = 0; i < 5; ++i) {
        blocks.push_back(pool.allocate(MemoryPool::MinimumBlockSize));
    }
    for (const PoolBlock& block : blocks) {
        pool.release(block);
    }
    EXPECT_EQ(pool.createdCount(), 5u);
    EXPECT_EQ(pool.freeCount(), 5u);

    // Two in use survive any trim; of the three free, the two released last stay.
    const PoolBlock first = pool.allocate(1);
    const PoolBlock second = pool.allocate(1);
    EXPECT_EQ(first, blocks[0]);
    EXPECT_EQ(second, blocks[1]);
    pool.trim(2);
    EXPECT_EQ(pool.createdCount(), 4u);
    EXPECT_EQ(pool.freeCount(), 2u);
    EXPECT_EQ(pool.allocate(1), blocks[3]);
    EXPECT_EQ(pool.allocate(1), blocks[4]);
    // Nothing free any more: a new block is made, and written to end to end.
    const PoolBlock fresh = pool.allocate(MemoryPool::MinimumBlockSize);
    EXPECT_EQ(pool.createdCount(), 5u);
    fresh.data[0] = std::byte{1};
    fresh.data[fresh.size - 1] = std::byte{2};
    pool.trim(0);
    EXPECT_EQ(pool.freeCount(), 0u);
    EXPECT_EQ(pool.createdCount(), 5u) << "blocks in use are never trimmed";
    for (const PoolBlock& block : {first, second, blocks[3], blocks[4], fresh}) {
        pool.release(block);
    }
    pool.trim(0);
    EXPECT_EQ(pool.createdCount(), 0u);
}

} // namespace
} // namespace ostrel
