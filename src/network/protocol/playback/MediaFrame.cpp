#include "network/protocol/playback/MediaFrame.h"

#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"

#include <bit>
#include <cstring>
#include <limits>

namespace ostrel {

int MediaFrame::channel() const {
    const uint32_t mask = _channelMask.word();
    if (!std::has_single_bit(mask)) {
        return -1;
    }
    for (int i = 0; i < 32; ++i) {
        if (ChannelTable[static_cast<size_t>(i)] == mask) {
            return i;
        }
    }
    return -1;
}

void MediaFrame::attachData(ByteBuffer& buffer) {
    const uint64_t length = dataLength();
    if (length > static_cast<uint64_t>(buffer.remaining())) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    _data = buffer.array();
    buffer.skip(static_cast<int>(length));
}

int MediaFrame::size() const {
    const uint64_t total = HeaderSize + dataLength();
    return total > static_cast<uint64_t>(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max()
                                                                           : static_cast<int>(total);
}

// The header is built in (or taken from) a local array through a wrapping
// buffer, so the buffer's byte order is applied by the same code that every
// other serialized value uses, and the target is touched in one step.
void MediaFrame::encode(uint8_t* out, ByteOrder order) const {
    ByteBuffer header(out, HeaderSize);
    header.order(order);
    header.putShort(_mediaType);
    header.putShort(_frameIndex);
    header.putInt(_gopID);
    header.putInt(_channelMask.word());
    header.putInt(_dataSize);
    header.putLong(_mediaID);
    _time.write(header);
    header.putShort(_attributeA);
    header.putShort(_attributeB);
    header.putInt(_attributeC);
    header.putLong(_attributeD);
    header.putInt(_linkedChannelMask.word());
    header.putInt(_extraSize);
    header.putLong(0);
}

void MediaFrame::decode(const uint8_t* in, ByteOrder order) {
    uint8_t copy[HeaderSize];
    std::memcpy(copy, in, HeaderSize);
    ByteBuffer header(copy, HeaderSize);
    header.order(order);
    _mediaType = header.getShort();
    _frameIndex = header.getShort();
    _gopID = header.getInt();
    _channelMask = BitMask32(header.getInt());
    _dataSize = header.getInt();
    _mediaID = header.getLong();
    _time.read(header);
    _attributeA = header.getShort();
    _attributeB = header.getShort();
    _attributeC = header.getInt();
    _attributeD = header.getLong();
    _linkedChannelMask = BitMask32(header.getInt());
    _extraSize = header.getInt();
}

void MediaFrame::readAt(const ByteBuffer& buffer, int offset) {
    if (offset < 0 || offset > buffer.limit() - HeaderSize) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    uint8_t bytes[HeaderSize];
    for (int i = 0; i < HeaderSize; ++i) {
        bytes[i] = buffer.get(offset + i);
    }
    decode(bytes, buffer.order());
}

void MediaFrame::read(ByteBuffer& buffer) {
    uint8_t bytes[HeaderSize];
    buffer.get(bytes, 0, HeaderSize);
    decode(bytes, buffer.order());
}

void MediaFrame::writeAt(ByteBuffer& buffer, int offset) const {
    if (offset < 0 || offset > buffer.limit() - HeaderSize) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    uint8_t bytes[HeaderSize];
    encode(bytes, buffer.order());
    for (int i = 0; i < HeaderSize; ++i) {
        buffer.put(offset + i, bytes[i]);
    }
}

void MediaFrame::write(ByteBuffer& buffer) const {
    uint8_t bytes[HeaderSize];
    encode(bytes, buffer.order());
    buffer.put(bytes, HeaderSize);
}

void MediaFrame::writeData(ByteBuffer& buffer) const {
    const uint64_t length = dataLength();
    if (length == 0) {
        return;
    }
    if (_data == nullptr || length > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    buffer.put(_data, static_cast<int>(length));
}

} // namespace ostrel
