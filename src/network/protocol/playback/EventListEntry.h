#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "network/protocol/playback/MediaPosition.h"

#include <cstdint>

namespace ostrel {

class Packet;

// One event of a site's event list (515): the event type (a bit number),
// its sub-type, the channels, its time, a u64 value (the site's tag of the
// frame the event belongs to) and the MediaPosition of that frame.
class EventListEntry {
public:
    // u8; u8; u32; request-layout DateTime; u64; MediaPosition.
    static constexpr int WireSize = 34;

    EventListEntry() = default;
    EventListEntry(uint8_t type, uint8_t subType, const BitMask32& channels, const DateTime& time, uint64_t value,
                   const MediaPosition& position)
        : _type(type), _subType(subType), _channels(channels), _time(time), _value(value), _position(position) {}

    uint8_t type() const { return _type; }
    uint8_t subType() const { return _subType; }
    const BitMask32& channels() const { return _channels; }
    const DateTime& time() const { return _time; }
    uint64_t value() const { return _value; }
    const MediaPosition& position() const { return _position; }

    void write(Packet& packet) const;
    // All or nothing (ByteBufferException when short).
    void read(Packet& packet);

private:
    uint8_t _type = 0;
    uint8_t _subType = 0;
    BitMask32 _channels;
    DateTime _time;
    uint64_t _value = 0;
    MediaPosition _position;
};

} // namespace ostrel
