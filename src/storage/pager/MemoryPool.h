#pragma once

#include "base/thread/Mutex.h"
#include "storage/pager/PoolBlock.h"

#include <cstddef>
#include <deque>
#include <vector>

namespace ostrel {

// The process-wide pool of page buffers. Blocks are page-aligned, at least
// MinimumBlockSize bytes, and recycled instead of freed: a block goes back to
// the free list when released and is handed out again, first in, first out.
// A request is served by the first free block that is large enough, so
// storages with pages larger than the default never receive a block that is
// too small. All blocks are returned to the system when the pool is destroyed,
// and trim() returns free blocks beyond a small reserve earlier: once a
// storage group has closed, the blocks its pages used need not stay resident.
class MemoryPool {
public:
    static constexpr std::size_t MinimumBlockSize = 524288;
    static constexpr std::size_t Alignment = 4096;
    // Free blocks trim() keeps by default, for the groups that go on working.
    static constexpr std::size_t ReserveBlocks = 8;

    static MemoryPool& instance();

    MemoryPool() = default;
    ~MemoryPool();
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    // A block of at least `size` bytes. Memory exhaustion raises SystemException.
    PoolBlock allocate(std::size_t size);
    // Gives a block back; an empty block is ignored.
    void release(PoolBlock block);

    // Returns free blocks beyond the `keep` most recently released to the
    // system; blocks in use are untouched.
    void trim(std::size_t keep = ReserveBlocks);

    // Blocks created since the pool was made (and not trimmed), and blocks currently free.
    std::size_t createdCount() const;
    std::size_t freeCount() const;

private:
    PoolBlock create(std::size_t size);

    mutable Mutex _mutex;
    std::deque<PoolBlock> _free;
    std::vector<PoolBlock> _created;
};

} // namespace ostrel
