#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"

#include <cstdint>
#include <string_view>

namespace ostrel {

class Packet;

// One entry of a site's text-in event list (527). The fields follow the
// text-in frame they describe: media ID (u64), attribute word (u32), time,
// gopID (u32), frameIndex (u16), channels (u32), then the text in a fixed
// 63-byte field (not necessarily terminated on the wire; kept terminated here).
class TextInEventListEntry {
public:
    static constexpr int TextFieldSize = 63;
    // u64; u32; request-layout DateTime; u32; u16; u32; 63 bytes.
    static constexpr int WireSize = 8 + 4 + 8 + 4 + 2 + 4 + TextFieldSize;

    TextInEventListEntry() = default;
    TextInEventListEntry(uint64_t mediaID, uint32_t attribute, const DateTime& time, uint32_t gopID,
                         uint16_t frameIndex, const BitMask32& channels, std::string_view text);

    uint64_t mediaID() const { return _mediaID; }
    uint32_t attribute() const { return _attribute; }
    const DateTime& time() const { return _time; }
    uint32_t gopID() const { return _gopID; }
    uint16_t frameIndex() const { return _frameIndex; }
    const BitMask32& channels() const { return _channels; }
    const char* text() const { return _text; }

    // The text field is written zero-filled after the (at most 63) characters.
    void write(Packet& packet) const;
    // All or nothing (ByteBufferException when short).
    void read(Packet& packet);

private:
    void setText(std::string_view text);

    uint64_t _mediaID = 0;
    uint32_t _attribute = 0;
    DateTime _time;
    uint32_t _gopID = 0;
    uint16_t _frameIndex = 0;
    BitMask32 _channels;
    char _text[TextFieldSize + 1] = {};
};

} // namespace ostrel
