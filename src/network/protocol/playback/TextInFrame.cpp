#include "network/protocol/playback/TextInFrame.h"

#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"

#include <cstring>

namespace ostrel {

void TextInFrame::setText(std::string_view text) {
    const size_t end = text.find('\0');
    if (end != std::string_view::npos) {
        text = text.substr(0, end);
    }
    const size_t length = text.size() < static_cast<size_t>(MaxTextLength) ? text.size() : MaxTextLength;
    std::memset(_text, 0, sizeof _text);
    std::memcpy(_text, text.data(), length);
}

void TextInFrame::encode(uint8_t* out, ByteOrder order) const {
    ByteBuffer form(out, SerializedSize);
    form.order(order);
    form.putShort(_mediaType);
    form.putShort(_frameIndex);
    form.putInt(_gopID);
    form.putInt(_channelMask.word());
    form.putInt(0);
    form.putLong(_mediaID);
    _time.write(form);
    form.putInt(_timelinePageNumber);
    form.putInt(_timelineOffset);
    form.putLong(0);
    form.putInt(_linkedChannelMask.word());
    form.putInt(_attribute);
    form.putInt(_flags.word());
    form.put(_text, TextFieldSize); // terminated: setText and decode leave the last byte 0
    form.putInt(0);
}

void TextInFrame::decode(const uint8_t* in, ByteOrder order) {
    uint8_t copy[SerializedSize];
    std::memcpy(copy, in, SerializedSize);
    ByteBuffer form(copy, SerializedSize);
    form.order(order);
    _mediaType = form.getShort();
    _frameIndex = form.getShort();
    _gopID = form.getInt();
    _channelMask = BitMask32(form.getInt());
    form.skip(4);
    _mediaID = form.getLong();
    _time.read(form);
    _timelinePageNumber = form.getInt();
    _timelineOffset = form.getInt();
    form.skip(8);
    _linkedChannelMask = BitMask32(form.getInt());
    _attribute = form.getInt();
    _flags = BitMask32(form.getInt());
    setText(std::string_view(reinterpret_cast<const char*>(form.array()), TextFieldSize));
}

void TextInFrame::readAt(const ByteBuffer& buffer, int offset) {
    if (offset < 0 || offset > buffer.limit() - SerializedSize) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    uint8_t bytes[SerializedSize];
    for (int i = 0; i < SerializedSize; ++i) {
        bytes[i] = buffer.get(offset + i);
    }
    decode(bytes, buffer.order());
}

void TextInFrame::read(ByteBuffer& buffer) {
    uint8_t bytes[SerializedSize];
    buffer.get(bytes, 0, SerializedSize);
    decode(bytes, buffer.order());
}

void TextInFrame::writeAt(ByteBuffer& buffer, int offset) const {
    if (offset < 0 || offset > buffer.limit() - SerializedSize) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    uint8_t bytes[SerializedSize];
    encode(bytes, buffer.order());
    for (int i = 0; i < SerializedSize; ++i) {
        buffer.put(offset + i, bytes[i]);
    }
}

void TextInFrame::write(ByteBuffer& buffer) const {
    uint8_t bytes[SerializedSize];
    encode(bytes, buffer.order());
    buffer.put(bytes, SerializedSize);
}

} // namespace ostrel
