#include "storage/EventElement.h"

#include "storage/pager/Buffer.h"

namespace ostrel {

void EventElement::encodeFixed(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, FixedSize, order);
    b.fill(0, 0, FixedSize);
    b.putU8(0, _eventType);
    b.putU8(1, _eventSubType);
    b.putU32(4, _channelMask.word());
    b.putU64(8, _mediaID);
    b.put(16, _dateTime);
    b.putU32(24, _timelinePos.number);
    b.putU32(28, _timelinePos.offset);
    b.putU32(32, _sectionID);
}

void EventElement::decodeFixed(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), FixedSize, order);
    _eventType = b.getU8(0);
    _eventSubType = b.getU8(1);
    _channelMask = BitMask32(b.getU32(4));
    _mediaID = b.getU64(8);
    b.get(16, _dateTime);
    _timelinePos = {b.getU32(24), b.getU32(28)};
    _sectionID = b.getU32(32);
}

} // namespace ostrel
