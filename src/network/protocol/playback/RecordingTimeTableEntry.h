#pragma once

#include "base/BitMask32.h"
#include "base/Interval.h"

#include <cstdint>

namespace ostrel {

class Packet;

// One entry of a site's recording time table (514): a u32 value (the site's
// own tag of the run; lists are ordered by it first), the run's interval and
// the channels it covers.
class RecordingTimeTableEntry {
public:
    // u32; two request-layout DateTimes; u32.
    static constexpr int WireSize = 24;

    RecordingTimeTableEntry() = default;
    RecordingTimeTableEntry(uint32_t value, const Interval& range, const BitMask32& channels)
        : _value(value), _range(range), _channels(channels) {}

    uint32_t value() const { return _value; }
    const Interval& range() const { return _range; }
    const BitMask32& channels() const { return _channels; }

    // Ascending by value, then by the start time.
    bool precedes(const RecordingTimeTableEntry& other) const;

    void write(Packet& packet) const;
    // All or nothing (ByteBufferException when short).
    void read(Packet& packet);

private:
    uint32_t _value = 0;
    Interval _range;
    BitMask32 _channels;
};

} // namespace ostrel
