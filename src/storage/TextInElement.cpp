#include "storage/TextInElement.h"

#include "storage/pager/Buffer.h"

#include <cstring>

namespace ostrel {

void TextInElement::setText(const std::string& text) {
    const std::size_t length = std::min(strnlen(text.c_str(), text.size()), TextSize - 1);
    _text.assign(text.c_str(), length);
}

void TextInElement::encodeFixed(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, FixedSize, order);
    b.fill(0, 0, FixedSize);
    b.putU16(0, _mediaType);
    b.putU16(2, _frameIndex);
    b.putU32(4, _gopID);
    b.putU32(8, _channelMask.word());
    b.putU64(16, _mediaID);
    b.put(24, _dateTime);
    b.putU32(32, _runStart.number);
    b.putU32(36, _runStart.offset);
    b.putU32(48, _linkedMask.word());
    b.putU32(52, _attribute);
    b.putU32(56, _flags.word());
    b.copyIn(60, _text.data(), std::min(_text.size(), TextSize - 1));
}

void TextInElement::decodeFixed(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), FixedSize, order);
    _mediaType = b.getU16(0);
    _frameIndex = b.getU16(2);
    _gopID = b.getU32(4);
    _channelMask = BitMask32(b.getU32(8));
    _mediaID = b.getU64(16);
    b.get(24, _dateTime);
    _runStart = {b.getU32(32), b.getU32(36)};
    _linkedMask = BitMask32(b.getU32(48));
    _attribute = b.getU32(52);
    _flags = BitMask32(b.getU32(56));
    // A text without a terminator in its 64 bytes is cut to 63 characters.
    const char* text = reinterpret_cast<const char*>(in + 60);
    _text.assign(text, strnlen(text, TextSize - 1));
}

} // namespace ostrel
