#include "storage/IRecordable.h"

#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"
#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"

#include <string>

namespace ostrel {
namespace {

std::uint32_t checkedFixedSize(const IRecordable& item) {
    const std::uint32_t size = item.fixedSize();
    if (size > IRecordable::MaxFixedSize) {
        throw VarnelException(VarnelException::InvalidStorage, "item fixed part of " + std::to_string(size));
    }
    return size;
}

} // namespace

void IRecordable::readAt(const Buffer& buffer, std::size_t offset) {
    const std::uint32_t size = checkedFixedSize(*this);
    decodeFixed(reinterpret_cast<const std::uint8_t*>(buffer.pointer(offset, size)), buffer.order());
}

void IRecordable::read(Buffer& buffer) {
    const std::uint32_t size = checkedFixedSize(*this);
    decodeFixed(reinterpret_cast<const std::uint8_t*>(buffer.pointer(size)), buffer.order());
}

void IRecordable::writeAt(Buffer& buffer, std::size_t offset) const {
    const std::uint32_t size = checkedFixedSize(*this);
    std::uint8_t bytes[MaxFixedSize];
    encodeFixed(bytes, buffer.order());
    buffer.copyIn(offset, bytes, size);
}

void IRecordable::writeHeader(Buffer& buffer) const {
    const std::uint32_t size = checkedFixedSize(*this);
    std::uint8_t bytes[MaxFixedSize];
    encodeFixed(bytes, buffer.order());
    buffer.copyIn(bytes, size);
}

void IRecordable::writePayload(Buffer& buffer, std::uint32_t from, std::uint32_t length) const {
    if (length == 0) {
        return;
    }
    const std::uint32_t total = payloadSize();
    if (from > total || length > total - from || payload() == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "payload range " + std::to_string(from) + "+" + std::to_string(length) + " of " +
                                  std::to_string(total) + (payload() ? "" : " (no payload bytes)"));
    }
    buffer.copyIn(payload() + from, length);
}

void IRecordable::readAt(const ByteBuffer& buffer, int offset) {
    const std::uint32_t size = checkedFixedSize(*this);
    std::uint8_t bytes[MaxFixedSize];
    for (std::uint32_t i = 0; i < size; ++i) {
        bytes[i] = buffer.get(offset + static_cast<int>(i));
    }
    decodeFixed(bytes, buffer.order());
}

void IRecordable::read(ByteBuffer& buffer) {
    const std::uint32_t size = checkedFixedSize(*this);
    std::uint8_t bytes[MaxFixedSize];
    buffer.get(bytes, 0, static_cast<int>(size));
    decodeFixed(bytes, buffer.order());
}

void IRecordable::writeAt(ByteBuffer& buffer, int offset) const {
    const std::uint32_t size = checkedFixedSize(*this);
    const int total = this->size();
    if (offset < 0 || offset > buffer.limit() - total) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    std::uint8_t bytes[MaxFixedSize];
    encodeFixed(bytes, buffer.order());
    for (std::uint32_t i = 0; i < size; ++i) {
        buffer.put(offset + static_cast<int>(i), bytes[i]);
    }
    const std::uint8_t* data = payload();
    for (std::uint32_t i = 0; data != nullptr && i < payloadSize(); ++i) {
        buffer.put(offset + static_cast<int>(size + i), data[i]);
    }
}

void IRecordable::write(ByteBuffer& buffer) const {
    const std::uint32_t size = checkedFixedSize(*this);
    std::uint8_t bytes[MaxFixedSize];
    encodeFixed(bytes, buffer.order());
    buffer.put(bytes, static_cast<int>(size));
    if (payload() != nullptr && payloadSize() > 0) {
        buffer.put(payload(), static_cast<int>(payloadSize()));
    }
}

} // namespace ostrel
