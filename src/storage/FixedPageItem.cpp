#include "storage/FixedPageItem.h"

#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"

#include <string>

namespace ostrel {

std::size_t FixedPageItem::checkedSize() const {
    const int n = size();
    if (n <= 0 || static_cast<std::size_t>(n) > MaxSize) {
        throw VarnelException(VarnelException::InvalidStorage, "record of " + std::to_string(n) + " bytes");
    }
    return static_cast<std::size_t>(n);
}

void FixedPageItem::readAt(const Buffer& buffer, std::size_t offset) {
    const std::size_t n = checkedSize();
    decode(reinterpret_cast<const std::uint8_t*>(buffer.pointer(offset, n)), buffer.order());
}

void FixedPageItem::writeAt(Buffer& buffer, std::size_t offset) const {
    const std::size_t n = checkedSize();
    std::uint8_t bytes[MaxSize] = {};
    encode(bytes, buffer.order());
    buffer.copyIn(offset, bytes, n);
}

void FixedPageItem::readAt(const ByteBuffer& buffer, int offset) {
    const std::size_t n = checkedSize();
    std::uint8_t bytes[MaxSize];
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = buffer.get(offset + static_cast<int>(i));
    }
    decode(bytes, buffer.order());
}

void FixedPageItem::read(ByteBuffer& buffer) {
    const std::size_t n = checkedSize();
    std::uint8_t bytes[MaxSize];
    buffer.get(bytes, 0, static_cast<int>(n));
    decode(bytes, buffer.order());
}

void FixedPageItem::writeAt(ByteBuffer& buffer, int offset) const {
    const std::size_t n = checkedSize();
    std::uint8_t bytes[MaxSize] = {};
    encode(bytes, buffer.order());
    for (std::size_t i = 0; i < n; ++i) {
        buffer.put(offset + static_cast<int>(i), bytes[i]);
    }
}

void FixedPageItem::write(ByteBuffer& buffer) const {
    const std::size_t n = checkedSize();
    std::uint8_t bytes[MaxSize] = {};
    encode(bytes, buffer.order());
    buffer.put(bytes, 0, static_cast<int>(n));
}

} // namespace ostrel
