#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Memory mapped straight from the system for one large buffer, and unmapped
// when it goes: unlike the C heap, which keeps freed blocks for reuse, the
// pages leave the process at once, so buffers that come and go with the work
// (a connection's queues, a storage's pages) do not stay resident after it.
// Pages are zero and take no memory until first written. Page-aligned.
class MappedMemory {
public:
    MappedMemory() = default;
    // Maps `size` bytes (nothing for 0). std::bad_alloc when the system refuses.
    explicit MappedMemory(std::size_t size);
    ~MappedMemory();
    MappedMemory(MappedMemory&& other) noexcept;
    MappedMemory& operator=(MappedMemory&& other) noexcept;
    MappedMemory(const MappedMemory&) = delete;
    MappedMemory& operator=(const MappedMemory&) = delete;

    std::uint8_t* data() const { return _data; }
    std::size_t size() const { return _size; }
    explicit operator bool() const { return _data != nullptr; }
    // Unmaps now.
    void reset();

    // The raw pair, for owners that keep the address and size themselves.
    static void* map(std::size_t size);
    static void unmap(void* data, std::size_t size);

private:
    std::uint8_t* _data = nullptr;
    std::size_t _size = 0;
};

} // namespace ostrel
