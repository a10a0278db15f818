#include "storage/pager/Buffer.h"

#include "storage/VarnelException.h"

#include <cstring>
#include <string>

namespace ostrel {
namespace {

template <typename T>
T swapped(T value) {
    if constexpr (sizeof(T) == 2) {
        return __builtin_bswap16(value);
    } else if constexpr (sizeof(T) == 4) {
        return __builtin_bswap32(value);
    } else if constexpr (sizeof(T) == 8) {
        return __builtin_bswap64(value);
    } else {
        return value;
    }
}

} // namespace

Buffer::Buffer(void* data, std::size_t capacity, ByteOrder order) { attach(data, capacity, order); }

void Buffer::attach(void* data, std::size_t capacity, ByteOrder order) {
    _data = static_cast<std::byte*>(data);
    _capacity = data ? capacity : 0;
    _position = 0;
    _limit = _capacity;
    _order = order;
}

void Buffer::detach() { attach(nullptr, 0, _order); }

void Buffer::require(std::size_t offset, std::size_t length) const {
    if (!contains(offset, length)) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "access of " + std::to_string(length) + " bytes at " + std::to_string(offset) +
                                  " outside a window of " + std::to_string(_limit) + " bytes");
    }
}

void Buffer::setPosition(std::size_t position) {
    require(position, 0);
    _position = position;
}

void Buffer::setLimit(std::size_t limit) {
    if (limit > _capacity) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "limit " + std::to_string(limit) + " beyond capacity " + std::to_string(_capacity));
    }
    _limit = limit;
    if (_position > _limit) {
        _position = _limit;
    }
}

const std::byte* Buffer::pointer(std::size_t offset, std::size_t length) const {
    require(offset, length);
    return _data + offset;
}

const std::byte* Buffer::pointer(std::size_t length) {
    const std::byte* result = pointer(_position, length);
    _position += length;
    return result;
}

void Buffer::copyIn(std::size_t offset, const void* bytes, std::size_t length) {
    require(offset, length);
    if (length == 0) {
        return;
    }
    std::memmove(_data + offset, bytes, length);
    touched(offset, length);
}

void Buffer::copyIn(const void* bytes, std::size_t length) {
    copyIn(_position, bytes, length);
    _position += length;
}

void Buffer::copyOut(std::size_t offset, void* bytes, std::size_t length) const {
    require(offset, length);
    if (length != 0) {
        std::memmove(bytes, _data + offset, length);
    }
}

void Buffer::fill(std::size_t offset, std::uint8_t value, std::size_t length) {
    require(offset, length);
    if (length == 0) {
        return;
    }
    std::memset(_data + offset, value, length);
    touched(offset, length);
}

void Buffer::fill(std::uint8_t value, std::size_t length) {
    fill(_position, value, length);
    _position += length;
}

template <typename T>
T Buffer::getScalar(std::size_t offset) const {
    require(offset, sizeof(T));
    T value;
    std::memcpy(&value, _data + offset, sizeof(T));
    return _order == ByteBuffer::hostOrder() ? value : swapped(value);
}

template <typename T>
void Buffer::putScalar(std::size_t offset, T value) {
    require(offset, sizeof(T));
    if (_order != ByteBuffer::hostOrder()) {
        value = swapped(value);
    }
    std::memcpy(_data + offset, &value, sizeof(T));
    touched(offset, sizeof(T));
}

std::uint8_t Buffer::getU8(std::size_t offset) const { return getScalar<std::uint8_t>(offset); }
std::uint16_t Buffer::getU16(std::size_t offset) const { return getScalar<std::uint16_t>(offset); }
std::uint32_t Buffer::getU32(std::size_t offset) const { return getScalar<std::uint32_t>(offset); }
std::uint64_t Buffer::getU64(std::size_t offset) const { return getScalar<std::uint64_t>(offset); }
void Buffer::putU8(std::size_t offset, std::uint8_t value) { putScalar(offset, value); }
void Buffer::putU16(std::size_t offset, std::uint16_t value) { putScalar(offset, value); }
void Buffer::putU32(std::size_t offset, std::uint32_t value) { putScalar(offset, value); }
void Buffer::putU64(std::size_t offset, std::uint64_t value) { putScalar(offset, value); }

std::uint8_t Buffer::readU8() {
    const auto value = getU8(_position);
    _position += 1;
    return value;
}
std::uint16_t Buffer::readU16() {
    const auto value = getU16(_position);
    _position += 2;
    return value;
}
std::uint32_t Buffer::readU32() {
    const auto value = getU32(_position);
    _position += 4;
    return value;
}
std::uint64_t Buffer::readU64() {
    const auto value = getU64(_position);
    _position += 8;
    return value;
}
void Buffer::writeU8(std::uint8_t value) {
    putU8(_position, value);
    _position += 1;
}
void Buffer::writeU16(std::uint16_t value) {
    putU16(_position, value);
    _position += 2;
}
void Buffer::writeU32(std::uint32_t value) {
    putU32(_position, value);
    _position += 4;
}
void Buffer::writeU64(std::uint64_t value) {
    putU64(_position, value);
    _position += 8;
}

void Buffer::get(std::size_t offset, FixedSerializable& value) const {
    const std::size_t size = static_cast<std::size_t>(value.size());
    std::uint8_t bytes[FixedSerializable::MaxSize];
    if (size > sizeof bytes) {
        throw VarnelException(VarnelException::InvalidStorage, "serialized value too large");
    }
    copyOut(offset, bytes, size);
    value.decode(bytes, _order);
}

void Buffer::put(std::size_t offset, const FixedSerializable& value) {
    const std::size_t size = static_cast<std::size_t>(value.size());
    std::uint8_t bytes[FixedSerializable::MaxSize];
    if (size > sizeof bytes) {
        throw VarnelException(VarnelException::InvalidStorage, "serialized value too large");
    }
    value.encode(bytes, _order);
    copyIn(offset, bytes, size);
}

void Buffer::touched(std::size_t, std::size_t) {}

} // namespace ostrel
