#include "storage/TimelineElement.h"

#include "storage/pager/Buffer.h"

namespace ostrel {

void TimelineElement::encodeFixed(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, FixedSize, order);
    b.fill(0, 0, FixedSize);
    b.putU16(0, _mediaType);
    b.putU16(2, _frameIndex);
    b.putU32(4, _gopID);
    b.putU32(8, _channelMask.word());
    b.putU32(12, _linkedMask.word());
    b.put(16, _dateTime);
    b.putU64(24, _mediaID);
    b.putU32(32, _mediaPosition.number);
    b.putU32(36, _mediaPosition.offset);
    b.putU32(40, _previousPosition.number);
    b.putU32(44, _previousPosition.offset);
    b.putU32(48, _totalSize);
}

void TimelineElement::decodeFixed(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), FixedSize, order);
    _mediaType = b.getU16(0);
    _frameIndex = b.getU16(2);
    _gopID = b.getU32(4);
    _channelMask = BitMask32(b.getU32(8));
    _linkedMask = BitMask32(b.getU32(12));
    b.get(16, _dateTime);
    _mediaID = b.getU64(24);
    _mediaPosition = {b.getU32(32), b.getU32(36)};
    _previousPosition = {b.getU32(40), b.getU32(44)};
    _totalSize = b.getU32(48);
}

} // namespace ostrel
