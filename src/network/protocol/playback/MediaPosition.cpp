#include "network/protocol/playback/MediaPosition.h"

#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void MediaPosition::read(ByteBuffer& buffer) {
    if (buffer.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    _first = buffer.getInt();
    _second = buffer.getInt();
    _third = buffer.getInt();
}

void MediaPosition::write(Packet& packet) const {
    packet.putInt(_first);
    packet.putInt(_second);
    packet.putInt(_third);
}

void MediaPosition::toString(IFormatable& out) const { out.format("%u : (%u, %u)", _first, _second, _third); }

} // namespace ostrel
