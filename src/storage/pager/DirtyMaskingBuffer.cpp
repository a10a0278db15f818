#include "storage/pager/DirtyMaskingBuffer.h"

namespace ostrel {

void DirtyMaskingBuffer::attach(void* data, std::size_t capacity, ByteOrder order, std::size_t blockSize) {
    Buffer::attach(data, capacity, order);
    _blockSize = blockSize == 0 ? 512 : blockSize;
    _mask.reset((this->capacity() + _blockSize - 1) / _blockSize);
}

void DirtyMaskingBuffer::touched(std::size_t offset, std::size_t length) {
    if (length == 0) {
        return;
    }
    _mask.setRange(offset / _blockSize, (offset + length - 1) / _blockSize);
}

std::vector<std::pair<std::size_t, std::size_t>> DirtyMaskingBuffer::dirtyRuns() const {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    const std::size_t blocks = _mask.bitCount();
    std::size_t block = 0;
    while (block < blocks) {
        if (!_mask.test(block)) {
            ++block;
            continue;
        }
        const std::size_t first = block;
        while (block < blocks && _mask.test(block)) {
            ++block;
        }
        runs.emplace_back(first * _blockSize, (block - first) * _blockSize);
    }
    return runs;
}

} // namespace ostrel
