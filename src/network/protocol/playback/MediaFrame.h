#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/ISerializable.h"

#include <array>
#include <cstdint>

namespace ostrel {

// One received video or audio frame: the 64-byte header with which a site
// sends it (the same fixed part as a stored media item) and a pointer to its
// dataSize + extraSize bytes of data (the media payload, then an extension
// area, both carried unchanged).
//
// The data is not owned: it stays in the received packet or the queue record
// it came from, so a frame is only valid while those bytes are; whoever keeps
// a frame longer copies the bytes first.
//
// As an ISerializable the frame's size is header plus data; read and write
// handle the 64-byte header in the buffer's byte order (the DateTime in its
// serialized form), writeData the data.
class MediaFrame : public ISerializable {
public:
    static constexpr int HeaderSize = 64;
    static constexpr uint16_t Video = 0;
    static constexpr uint16_t Audio = 1;

    // Channel number i for each single-bit channel mask 1 << i.
    static constexpr std::array<uint32_t, 32> ChannelTable = [] {
        std::array<uint32_t, 32> table{};
        for (int i = 0; i < 32; ++i) {
            table[static_cast<size_t>(i)] = 1u << i;
        }
        return table;
    }();

    MediaFrame() = default;
    MediaFrame(const MediaFrame&) = default;
    MediaFrame& operator=(const MediaFrame&) = default;

    uint16_t mediaType() const { return _mediaType; }
    bool isVideo() const { return _mediaType == Video; }
    bool isAudio() const { return _mediaType == Audio; }
    uint16_t frameIndex() const { return _frameIndex; }
    uint32_t gopID() const { return _gopID; }
    const BitMask32& channelMask() const { return _channelMask; }
    uint32_t dataSize() const { return _dataSize; }
    uint64_t mediaID() const { return _mediaID; }
    const DateTime& time() const { return _time; }
    uint16_t attributeA() const { return _attributeA; }
    uint16_t attributeB() const { return _attributeB; }
    uint32_t attributeC() const { return _attributeC; }
    uint64_t attributeD() const { return _attributeD; }
    const BitMask32& linkedChannelMask() const { return _linkedChannelMask; }
    uint32_t extraSize() const { return _extraSize; }
    // dataSize + extraSize, the bytes data() points at.
    uint64_t dataLength() const { return static_cast<uint64_t>(_dataSize) + _extraSize; }
    const uint8_t* data() const { return _data; }

    void setMediaType(uint16_t value) { _mediaType = value; }
    void setFrameIndex(uint16_t value) { _frameIndex = value; }
    void setGopID(uint32_t value) { _gopID = value; }
    void setChannelMask(const BitMask32& value) { _channelMask = value; }
    void setDataSize(uint32_t value) { _dataSize = value; }
    void setMediaID(uint64_t value) { _mediaID = value; }
    void setTime(const DateTime& value) { _time = value; }
    void setAttributeA(uint16_t value) { _attributeA = value; }
    void setAttributeB(uint16_t value) { _attributeB = value; }
    void setAttributeC(uint32_t value) { _attributeC = value; }
    void setAttributeD(uint64_t value) { _attributeD = value; }
    void setLinkedChannelMask(const BitMask32& value) { _linkedChannelMask = value; }
    void setExtraSize(uint32_t value) { _extraSize = value; }
    // Points the frame at dataLength() bytes that belong to someone else.
    void setData(const uint8_t* data) { _data = data; }

    // The channel number of the channel mask, or -1 when the mask is not a single bit.
    int channel() const;

    // Points the frame at the dataLength() bytes at the buffer's position and
    // moves the position past them; raises ByteBufferException (underflow)
    // without changing anything when fewer bytes remain.
    void attachData(ByteBuffer& buffer);

    // 64 + dataSize + extraSize (INT_MAX if that does not fit an int).
    int size() const override;
    // The 64-byte header. All or nothing: a header that does not fit raises
    // ByteBufferException and changes neither the buffer nor the frame.
    // Reading a header leaves the data pointer alone.
    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;
    // Same as write: the header, its 8 zero bytes included.
    void writeHeader(ByteBuffer& buffer) const { write(buffer); }
    // The dataLength() data bytes at the buffer's position, all or nothing.
    // A frame without data (null pointer) may only have a length of 0.
    void writeData(ByteBuffer& buffer) const;

private:
    void encode(uint8_t* out, ByteOrder order) const;
    void decode(const uint8_t* in, ByteOrder order);

    uint16_t _mediaType = Video;
    uint16_t _frameIndex = 0;
    uint32_t _gopID = 0;
    BitMask32 _channelMask;
    uint32_t _dataSize = 0;
    uint64_t _mediaID = 0;
    DateTime _time;
    uint16_t _attributeA = 0;
    uint16_t _attributeB = 0;
    uint32_t _attributeC = 0;
    uint64_t _attributeD = 0;
    BitMask32 _linkedChannelMask;
    uint32_t _extraSize = 0;
    const uint8_t* _data = nullptr;
};

} // namespace ostrel
