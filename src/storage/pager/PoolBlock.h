#pragma once

#include <cstddef>

namespace ostrel {

// A page-aligned block of memory lent by the MemoryPool: its address and its
// capacity in bytes. An empty block has no data.
struct PoolBlock {
    std::byte* data = nullptr;
    std::size_t size = 0;

    explicit operator bool() const { return data != nullptr; }
    bool operator==(const PoolBlock& other) const { return data == other.data; }
};

} // namespace ostrel
