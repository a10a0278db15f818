#pragma once

#include "base/BitMask32.h"
#include "base/IStringConvertable.h"
#include "base/Interval.h"

#include <cstdint>

namespace ostrel {

class Packet;

// What a play request (518) asks a site for: a mode, a range of recorded
// time, the channels, and three parameters whose meaning depends on the mode.
// Play: direction (1 forward, 2 backward), speed, a third value (archiving
// sends 1, 1, 3). Jump: 1, the recording section to start from, 0.
class PlayRequest : public IStringConvertable {
public:
    static constexpr uint32_t Play = 1;
    static constexpr uint32_t Step = 2;
    static constexpr uint32_t Jump = 3;
    static constexpr uint32_t Forward = 1;
    static constexpr uint32_t Backward = 2;
    // u32 mode; two request-layout DateTimes; u32 channels; three u32.
    static constexpr int WireSize = 36;

    PlayRequest() = default;
    PlayRequest(uint32_t mode, const Interval& range, const BitMask32& channels, uint32_t first, uint32_t second,
                uint32_t third)
        : _mode(mode), _range(range), _channels(channels), _first(first), _second(second), _third(third) {}

    // A Play of the range: direction, speed and the third parameter.
    static PlayRequest play(const Interval& range, const BitMask32& channels, uint32_t direction, uint32_t speed,
                            uint32_t third);
    // A Jump into the range that starts at recording section `sectionID`.
    static PlayRequest jump(const Interval& range, const BitMask32& channels, uint32_t sectionID);

    uint32_t mode() const { return _mode; }
    const Interval& range() const { return _range; }
    const BitMask32& channels() const { return _channels; }
    uint32_t firstParameter() const { return _first; }
    uint32_t secondParameter() const { return _second; }
    uint32_t thirdParameter() const { return _third; }
    // The parameters under their Play meaning.
    uint32_t direction() const { return _first; }
    uint32_t speed() const { return _second; }
    // The parameter under its Jump meaning.
    uint32_t sectionID() const { return _second; }

    // "Play", "Step", "Jump", or "Unknown" for any other mode value.
    static const char* modeName(uint32_t mode);

    // The 518 payload fields in order (the DateTimes in request layout).
    void write(Packet& packet) const;
    // Reads the same fields; all or nothing (ByteBufferException when short).
    void read(Packet& packet);

    using IStringConvertable::toString;
    // "%s %s 0x%08X (%u, %u, %u)": mode name, range, channel word, parameters.
    void toString(IFormatable& out) const override;

private:
    uint32_t _mode = Play;
    Interval _range;
    BitMask32 _channels;
    uint32_t _first = 0;
    uint32_t _second = 0;
    uint32_t _third = 0;
};

} // namespace ostrel
