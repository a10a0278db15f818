#include "network/protocol/playback/EventListRequest.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void EventListRequest::write(Packet& packet) const {
    packet.putDateTime(_range.from());
    packet.putDateTime(_range.to());
    packet.putInt(_channels.word());
    packet.putInt(_firstFilter);
    packet.putInt(_secondFilter);
}

void EventListRequest::read(Packet& packet) {
    if (packet.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const DateTime from = packet.getDateTime();
    const DateTime to = packet.getDateTime();
    const uint32_t channels = packet.getInt();
    const uint32_t first = packet.getInt();
    const uint32_t second = packet.getInt();
    *this = EventListRequest(Interval(from, to), BitMask32(channels), first, second);
}

} // namespace ostrel
