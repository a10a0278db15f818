#include "network/protocol/playback/PlayRequest.h"

#include "base/ByteBufferException.h"
#include "base/FormatableBuffer.h"
#include "network/protocol/Packet.h"

namespace ostrel {

PlayRequest PlayRequest::play(const Interval& range, const BitMask32& channels, uint32_t direction, uint32_t speed,
                              uint32_t third) {
    return PlayRequest(Play, range, channels, direction, speed, third);
}

PlayRequest PlayRequest::jump(const Interval& range, const BitMask32& channels, uint32_t sectionID) {
    return PlayRequest(Jump, range, channels, 1, sectionID, 0);
}

const char* PlayRequest::modeName(uint32_t mode) {
    switch (mode) {
    case Play:
        return "Play";
    case Step:
        return "Step";
    case Jump:
        return "Jump";
    default:
        return "Unknown";
    }
}

void PlayRequest::write(Packet& packet) const {
    packet.putInt(_mode);
    packet.putDateTime(_range.from());
    packet.putDateTime(_range.to());
    packet.putInt(_channels.word());
    packet.putInt(_first);
    packet.putInt(_second);
    packet.putInt(_third);
}

void PlayRequest::read(Packet& packet) {
    if (packet.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const uint32_t mode = packet.getInt();
    const DateTime from = packet.getDateTime();
    const DateTime to = packet.getDateTime();
    const uint32_t channels = packet.getInt();
    const uint32_t first = packet.getInt();
    const uint32_t second = packet.getInt();
    const uint32_t third = packet.getInt();
    *this = PlayRequest(mode, Interval(from, to), BitMask32(channels), first, second, third);
}

void PlayRequest::toString(IFormatable& out) const {
    FormatableBuffer<64> range;
    _range.toString(range);
    out.format("%s %s 0x%08X (%u, %u, %u)", modeName(_mode), range.c_str(), _channels.word(), _first, _second,
               _third);
}

} // namespace ostrel
