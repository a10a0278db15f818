#include "storage/MediaElement.h"

#include "storage/pager/Buffer.h"

namespace ostrel {

void MediaElement::encodeFixed(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, FixedSize, order);
    b.fill(0, 0, FixedSize);
    b.putU16(0, _mediaType);
    b.putU16(2, _frameIndex);
    b.putU32(4, _gopID);
    b.putU32(8, _channelMask.word());
    b.putU32(12, _dataSize);
    b.putU64(16, _mediaID);
    b.put(24, _dateTime);
    b.putU16(32, _attributeA);
    b.putU16(34, _attributeB);
    b.putU32(36, _attributeC);
    b.putU64(40, _attributeD);
    b.putU32(48, _linkedMask.word());
    b.putU32(52, _extraSize);
}

void MediaElement::decodeFixed(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), FixedSize, order);
    _mediaType = b.getU16(0);
    _frameIndex = b.getU16(2);
    _gopID = b.getU32(4);
    _channelMask = BitMask32(b.getU32(8));
    _dataSize = b.getU32(12);
    _mediaID = b.getU64(16);
    b.get(24, _dateTime);
    _attributeA = b.getU16(32);
    _attributeB = b.getU16(34);
    _attributeC = b.getU32(36);
    _attributeD = b.getU64(40);
    _linkedMask = BitMask32(b.getU32(48));
    _extraSize = b.getU32(52);
    _payload = nullptr;
}

} // namespace ostrel
