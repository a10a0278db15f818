#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/ISerializable.h"

#include <cstdint>
#include <string_view>

namespace ostrel {

// One received text-in record (point-of-sale or cash-machine text). Its
// serialized form is the 128-byte fixed part of a stored text-in item, in the
// buffer's byte order: media type 3, frameIndex, gopID, channel mask, 4 zero
// bytes, media ID, DateTime (serialized form), timeline position (two u32,
// zero on receipt), 8 zero bytes, linked channel mask (all ones on receipt),
// attribute word, flags, 64 bytes of text (at most 63 characters,
// terminated), 4 zero bytes.
class TextInFrame : public ISerializable {
public:
    static constexpr int SerializedSize = 128;
    static constexpr int TextFieldSize = 64;
    static constexpr int MaxTextLength = TextFieldSize - 1;
    static constexpr uint16_t TextInMediaType = 3;

    TextInFrame() = default;
    TextInFrame(const TextInFrame&) = default;
    TextInFrame& operator=(const TextInFrame&) = default;

    uint16_t mediaType() const { return _mediaType; }
    uint16_t frameIndex() const { return _frameIndex; }
    uint32_t gopID() const { return _gopID; }
    const BitMask32& channelMask() const { return _channelMask; }
    uint64_t mediaID() const { return _mediaID; }
    const DateTime& time() const { return _time; }
    uint32_t timelinePageNumber() const { return _timelinePageNumber; }
    uint32_t timelineOffset() const { return _timelineOffset; }
    const BitMask32& linkedChannelMask() const { return _linkedChannelMask; }
    uint32_t attribute() const { return _attribute; }
    const BitMask32& flags() const { return _flags; }
    // The text, always terminated.
    const char* text() const { return _text; }

    void setFrameIndex(uint16_t value) { _frameIndex = value; }
    void setGopID(uint32_t value) { _gopID = value; }
    void setChannelMask(const BitMask32& value) { _channelMask = value; }
    void setMediaID(uint64_t value) { _mediaID = value; }
    void setTime(const DateTime& value) { _time = value; }
    void setTimelinePosition(uint32_t pageNumber, uint32_t offset) {
        _timelinePageNumber = pageNumber;
        _timelineOffset = offset;
    }
    void setLinkedChannelMask(const BitMask32& value) { _linkedChannelMask = value; }
    void setAttribute(uint32_t value) { _attribute = value; }
    void setFlags(const BitMask32& value) { _flags = value; }
    // Keeps the characters before the first 0 byte, at most 63 of them.
    void setText(std::string_view text);

    int size() const override { return SerializedSize; }
    // All or nothing: a form that does not fit raises ByteBufferException and
    // changes neither the buffer nor the frame.
    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;

private:
    void encode(uint8_t* out, ByteOrder order) const;
    void decode(const uint8_t* in, ByteOrder order);

    uint16_t _mediaType = TextInMediaType;
    uint16_t _frameIndex = 0;
    uint32_t _gopID = 0;
    BitMask32 _channelMask;
    uint64_t _mediaID = 0;
    DateTime _time;
    uint32_t _timelinePageNumber = 0;
    uint32_t _timelineOffset = 0;
    BitMask32 _linkedChannelMask{BitMask32::AllBits};
    uint32_t _attribute = 0;
    BitMask32 _flags;
    char _text[TextFieldSize] = {};
};

} // namespace ostrel
