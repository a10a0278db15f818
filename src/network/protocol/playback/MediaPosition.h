#pragma once

#include "base/IEquatable.h"
#include "base/IStringConvertable.h"
#include "network/protocol/INetStruct.h"

#include <cstdint>

namespace ostrel {

// A frame's place in a site's recording: three u32 on the wire. The first is
// the recording section that holds the frame (the IDs of the section list);
// the other two are the site's own coordinates inside that section, which
// this system only stores and hands back (a pause names the last position
// delivered, a resume jumps to a stored one).
class MediaPosition : public INetStruct, public IEquatable<MediaPosition>, public IStringConvertable {
public:
    static constexpr int WireSize = 12;

    MediaPosition() = default;
    MediaPosition(uint32_t first, uint32_t second, uint32_t third) : _first(first), _second(second), _third(third) {}

    uint32_t first() const { return _first; }
    uint32_t second() const { return _second; }
    uint32_t third() const { return _third; }
    // The recording section of the frame (the first value).
    uint32_t sectionID() const { return _first; }

    // All 12 bytes or nothing: a short buffer raises ByteBufferException and leaves the value as it was.
    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;

    bool equals(const MediaPosition& other) const override {
        return _first == other._first && _second == other._second && _third == other._third;
    }

    using IStringConvertable::toString;
    // "%u : (%u, %u)": first, second, third.
    void toString(IFormatable& out) const override;

private:
    uint32_t _first = 0;
    uint32_t _second = 0;
    uint32_t _third = 0;
};

} // namespace ostrel
