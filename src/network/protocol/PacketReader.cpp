#include "network/protocol/PacketReader.h"

#include "base/Trace.h"

#include <algorithm>

namespace ostrel {

PacketReader::PacketReader(int maxPayloadSize) : _maxPayloadSize(maxPayloadSize), _packet(0) {}

Packet& PacketReader::startHeader() {
    _phase = Phase::AwaitingHeader;
    _packet.prepareHeader();
    return _packet;
}

PacketReader::Result PacketReader::filled() {
    if (_packet.remaining() > 0) {
        return Result::NeedMore;
    }
    if (_phase == Phase::AwaitingHeader) {
        _lastPayloadSize = static_cast<int>(_packet.payloadSize());
        if (_lastPayloadSize < 0 || _lastPayloadSize > _maxPayloadSize) {
            trace("Invalid Payload Size: %d\n", _lastPayloadSize);
            _phase = Phase::Assigned;
            return Result::InvalidPayloadSize;
        }
        if (_lastPayloadSize == 0) {
            _phase = Phase::Assigned;
            return Result::Complete;
        }
        _phase = Phase::AwaitingPayload;
        _packet.payload();
        return Result::NeedMore;
    }
    if (_phase == Phase::AwaitingPayload) {
        _phase = Phase::Assigned;
        return Result::Complete;
    }
    return Result::NeedMore;
}

PacketReader::Result PacketReader::feed(const void* bytes, int length, int& consumed) {
    consumed = 0;
    const auto* from = static_cast<const uint8_t*>(bytes);
    if (_phase != Phase::AwaitingHeader && _phase != Phase::AwaitingPayload) {
        startHeader();
    }
    while (true) {
        const int taken = std::min(length - consumed, _packet.remaining());
        if (taken > 0) {
            _packet.ByteBuffer::put(from + consumed, taken);
            consumed += taken;
        }
        if (_packet.remaining() > 0) {
            return Result::NeedMore;
        }
        const Result result = filled();
        if (result != Result::NeedMore) {
            return result;
        }
    }
}

void PacketReader::reset() {
    _phase = Phase::Idle;
    _lastPayloadSize = 0;
    // Whatever the largest packet made it grow to goes: the next packet
    // allocates what it needs.
    _packet.releaseArray();
}

} // namespace ostrel
