#include "storage/RecordingTableElement.h"

#include "storage/pager/Buffer.h"

namespace ostrel {

void RecordingTableElement::encodeFixed(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, FixedSize, order);
    b.fill(0, 0, FixedSize);
    b.put(0, _dateTime);
    b.putU32(8, _channelMask.word());
    b.putU32(12, _sectionID);
    b.putU32(16, _position.number);
    b.putU32(20, _position.offset);
    b.putU64(24, _mediaID);
    b.putU32(32, _previousPosition.number);
    b.putU32(36, _previousPosition.offset);
    b.putU32(40, _previousMask.word());
}

void RecordingTableElement::decodeFixed(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), FixedSize, order);
    b.get(0, _dateTime);
    _channelMask = BitMask32(b.getU32(8));
    _sectionID = b.getU32(12);
    _position = {b.getU32(16), b.getU32(20)};
    _mediaID = b.getU64(24);
    _previousPosition = {b.getU32(32), b.getU32(36)};
    _previousMask = BitMask32(b.getU32(40));
}

} // namespace ostrel
