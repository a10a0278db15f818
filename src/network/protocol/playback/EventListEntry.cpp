#include "network/protocol/playback/EventListEntry.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void EventListEntry::write(Packet& packet) const {
    packet.put(_type);
    packet.put(_subType);
    packet.putInt(_channels.word());
    packet.putDateTime(_time);
    packet.putLong(_value);
    _position.write(packet);
}

void EventListEntry::read(Packet& packet) {
    if (packet.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const uint8_t type = packet.get();
    const uint8_t subType = packet.get();
    const uint32_t channels = packet.getInt();
    const DateTime time = packet.getDateTime();
    const uint64_t value = packet.getLong();
    MediaPosition position;
    position.read(packet);
    *this = EventListEntry(type, subType, BitMask32(channels), time, value, position);
}

} // namespace ostrel
