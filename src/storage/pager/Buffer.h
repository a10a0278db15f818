#pragma once

#include "base/ByteBuffer.h"
#include "base/FixedSerializable.h"

#include <cstddef>
#include <cstdint>

namespace ostrel {

// A byte window over memory it does not own (a page or superblock image):
// data, capacity, position, limit and the byte order of its multi-byte
// integers. Typed reads and writes swap bytes when the buffer's order differs
// from the host's.
//
// Pages come from disk and are untrusted, so every access is checked against
// the limit: an offset or length that falls outside raises VarnelException
// code 4 ("Storage corrupted") instead of touching memory outside the window.
class Buffer {
public:
    Buffer() = default;
    Buffer(void* data, std::size_t capacity, ByteOrder order = ByteBuffer::hostOrder());
    virtual ~Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Points the window at new memory; position 0, limit = capacity.
    void attach(void* data, std::size_t capacity, ByteOrder order);
    void detach();
    bool isAttached() const { return _data != nullptr; }

    std::size_t capacity() const { return _capacity; }
    std::size_t position() const { return _position; }
    void setPosition(std::size_t position);
    std::size_t limit() const { return _limit; }
    void setLimit(std::size_t limit);
    std::size_t remaining() const { return _limit - _position; }
    ByteOrder order() const { return _order; }
    void setOrder(ByteOrder order) { _order = order; }
    // Whether `length` bytes at `offset` lie inside the limit.
    bool contains(std::size_t offset, std::size_t length) const {
        return offset <= _limit && length <= _limit - offset;
    }

    // Read-only view of `length` bytes at `offset`.
    const std::byte* pointer(std::size_t offset, std::size_t length) const;
    // Read-only view of `length` bytes at the position; the position advances.
    const std::byte* pointer(std::size_t length);
    // Raw memory for transfers of whole blocks (file I/O); not limited by the window.
    std::byte* data() { return _data; }
    const std::byte* data() const { return _data; }

    void copyIn(std::size_t offset, const void* bytes, std::size_t length);
    void copyIn(const void* bytes, std::size_t length);
    void copyOut(std::size_t offset, void* bytes, std::size_t length) const;
    void fill(std::size_t offset, std::uint8_t value, std::size_t length);
    void fill(std::uint8_t value, std::size_t length);

    std::uint8_t getU8(std::size_t offset) const;
    std::uint16_t getU16(std::size_t offset) const;
    std::uint32_t getU32(std::size_t offset) const;
    std::uint64_t getU64(std::size_t offset) const;
    void putU8(std::size_t offset, std::uint8_t value);
    void putU16(std::size_t offset, std::uint16_t value);
    void putU32(std::size_t offset, std::uint32_t value);
    void putU64(std::size_t offset, std::uint64_t value);

    // A small serialized value (value types, list items) in the buffer's order.
    void get(std::size_t offset, FixedSerializable& value) const;
    void put(std::size_t offset, const FixedSerializable& value);

    // At the position, advancing it.
    std::uint8_t readU8();
    std::uint16_t readU16();
    std::uint32_t readU32();
    std::uint64_t readU64();
    void writeU8(std::uint8_t value);
    void writeU16(std::uint16_t value);
    void writeU32(std::uint32_t value);
    void writeU64(std::uint64_t value);

protected:
    // Told about every byte range written through the buffer.
    virtual void touched(std::size_t offset, std::size_t length);
    void require(std::size_t offset, std::size_t length) const;

private:
    template <typename T>
    T getScalar(std::size_t offset) const;
    template <typename T>
    void putScalar(std::size_t offset, T value);

    std::byte* _data = nullptr;
    std::size_t _capacity = 0;
    std::size_t _position = 0;
    std::size_t _limit = 0;
    ByteOrder _order = ByteBuffer::hostOrder();
};

} // namespace ostrel
