#include "network/protocol/playback/RecordingTimeTableEntry.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

bool RecordingTimeTableEntry::precedes(const RecordingTimeTableEntry& other) const {
    if (_value != other._value) {
        return _value < other._value;
    }
    return _range.from() < other._range.from();
}

void RecordingTimeTableEntry::write(Packet& packet) const {
    packet.putInt(_value);
    packet.putDateTime(_range.from());
    packet.putDateTime(_range.to());
    packet.putInt(_channels.word());
}

void RecordingTimeTableEntry::read(Packet& packet) {
    if (packet.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const uint32_t value = packet.getInt();
    const DateTime from = packet.getDateTime();
    const DateTime to = packet.getDateTime();
    *this = RecordingTimeTableEntry(value, Interval(from, to), BitMask32(packet.getInt()));
}

} // namespace ostrel
