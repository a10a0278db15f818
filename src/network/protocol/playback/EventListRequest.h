#pragma once

#include "base/BitMask32.h"
#include "base/Interval.h"

#include <cstdint>

namespace ostrel {

class Packet;

// What an event-list request (515) asks for: the events of a range of
// recorded time on some channels, narrowed by two filter words (archiving
// asks with both filters 0xFFFFFFFF, that is everything).
class EventListRequest {
public:
    // Two request-layout DateTimes; u32 channels; two u32 filters.
    static constexpr int WireSize = 28;

    EventListRequest() = default;
    EventListRequest(const Interval& range, const BitMask32& channels, uint32_t firstFilter, uint32_t secondFilter)
        : _range(range), _channels(channels), _firstFilter(firstFilter), _secondFilter(secondFilter) {}

    const Interval& range() const { return _range; }
    const BitMask32& channels() const { return _channels; }
    uint32_t firstFilter() const { return _firstFilter; }
    uint32_t secondFilter() const { return _secondFilter; }

    // The 515 payload fields in order.
    void write(Packet& packet) const;
    // Reads the same fields; all or nothing (ByteBufferException when short).
    void read(Packet& packet);

private:
    Interval _range;
    BitMask32 _channels;
    uint32_t _firstFilter = 0xFFFFFFFF;
    uint32_t _secondFilter = 0xFFFFFFFF;
};

} // namespace ostrel
