#pragma once

#include "storage/pager/Buffer.h"
#include "storage/pager/DirtyMask.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace ostrel {

// A Buffer that remembers which blocks of its memory were written since the
// mask was last cleared: every copy, fill and typed write sets the bits of all
// blocks it touches. Blocks are one I/O unit (sector) long, so a save writes
// exactly the dirty sectors.
class DirtyMaskingBuffer : public Buffer {
public:
    // Points the buffer at new memory and resets position, limit and mask.
    // The mask has one bit per `blockSize` bytes of `capacity` (rounded up).
    void attach(void* data, std::size_t capacity, ByteOrder order, std::size_t blockSize);

    std::size_t blockSize() const { return _blockSize; }
    DirtyMask& mask() { return _mask; }
    const DirtyMask& mask() const { return _mask; }
    bool isClean() const { return _mask.isClean(); }
    bool isAllDirty() const { return _mask.isAllDirty(); }
    void clearDirty() { _mask.clear(); }
    void markDirty(std::size_t offset, std::size_t length) { touched(offset, length); }

    // The maximal runs of dirty blocks in ascending order, as (byte offset,
    // byte length); a run is cut at the capacity.
    std::vector<std::pair<std::size_t, std::size_t>> dirtyRuns() const;

protected:
    void touched(std::size_t offset, std::size_t length) override;

private:
    DirtyMask _mask;
    std::size_t _blockSize = 512;
};

} // namespace ostrel
