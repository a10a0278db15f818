#include "base/FixedSerializable.h"

#include "base/ByteBufferException.h"

namespace ostrel {

int FixedSerializable::checkedSize() const {
    const int n = size();
    if (n < 0 || n > MaxSize) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    return n;
}

void FixedSerializable::readAt(const ByteBuffer& buffer, int offset) {
    const int n = checkedSize();
    uint8_t bytes[MaxSize];
    for (int i = 0; i < n; ++i) {
        bytes[i] = buffer.get(offset + i);  // bounds-checked; throws before anything changes
    }
    decode(bytes, buffer.order());
}

void FixedSerializable::read(ByteBuffer& buffer) {
    const int n = checkedSize();
    uint8_t bytes[MaxSize];
    buffer.get(bytes, 0, n);
    decode(bytes, buffer.order());
}

void FixedSerializable::writeAt(ByteBuffer& buffer, int offset) const {
    const int n = checkedSize();
    // Check the whole range first so a value never lands half-written.
    if (offset < 0 || offset > buffer.limit() - n) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    uint8_t bytes[MaxSize];
    encode(bytes, buffer.order());
    for (int i = 0; i < n; ++i) {
        buffer.put(offset + i, bytes[i]);
    }
}

void FixedSerializable::write(ByteBuffer& buffer) const {
    const int n = checkedSize();
    uint8_t bytes[MaxSize];
    encode(bytes, buffer.order());
    buffer.put(bytes, n);
}

void FixedSerializable::storeShort(uint8_t* out, uint16_t value, ByteOrder order) {
    if (order == BigEndian) {
        out[0] = static_cast<uint8_t>(value >> 8);
        out[1] = static_cast<uint8_t>(value);
    } else {
        out[0] = static_cast<uint8_t>(value);
        out[1] = static_cast<uint8_t>(value >> 8);
    }
}

uint16_t FixedSerializable::loadShort(const uint8_t* in, ByteOrder order) {
    if (order == BigEndian) {
        return static_cast<uint16_t>(in[0] << 8 | in[1]);
    }
    return static_cast<uint16_t>(in[1] << 8 | in[0]);
}

} // namespace ostrel
