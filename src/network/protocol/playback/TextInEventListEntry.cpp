#include "network/protocol/playback/TextInEventListEntry.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

#include <cstring>

namespace ostrel {

TextInEventListEntry::TextInEventListEntry(uint64_t mediaID, uint32_t attribute, const DateTime& time,
                                           uint32_t gopID, uint16_t frameIndex, const BitMask32& channels,
                                           std::string_view text)
    : _mediaID(mediaID), _attribute(attribute), _time(time), _gopID(gopID), _frameIndex(frameIndex),
      _channels(channels) {
    setText(text);
}

void TextInEventListEntry::setText(std::string_view text) {
    const size_t end = text.find('\0');
    if (end != std::string_view::npos) {
        text = text.substr(0, end);
    }
    const size_t length = text.size() < static_cast<size_t>(TextFieldSize) ? text.size() : TextFieldSize;
    std::memset(_text, 0, sizeof _text);
    std::memcpy(_text, text.data(), length);
}

void TextInEventListEntry::write(Packet& packet) const {
    packet.putLong(_mediaID);
    packet.putInt(_attribute);
    packet.putDateTime(_time);
    packet.putInt(_gopID);
    packet.putShort(_frameIndex);
    packet.putInt(_channels.word());
    packet.put(_text, TextFieldSize);
}

void TextInEventListEntry::read(Packet& packet) {
    if (packet.remaining() < WireSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const uint64_t mediaID = packet.getLong();
    const uint32_t attribute = packet.getInt();
    const DateTime time = packet.getDateTime();
    const uint32_t gopID = packet.getInt();
    const uint16_t frameIndex = packet.getShort();
    const uint32_t channels = packet.getInt();
    char text[TextFieldSize];
    packet.get(text, 0, TextFieldSize);
    *this = TextInEventListEntry(mediaID, attribute, time, gopID, frameIndex, BitMask32(channels),
                                 std::string_view(text, TextFieldSize));
}

} // namespace ostrel
