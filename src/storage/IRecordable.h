#pragma once

#include "base/BitMask32.h"
#include "base/ByteBuffer.h"
#include "base/ISerializable.h"

#include <cstddef>
#include <cstdint>

namespace ostrel {

class Buffer;

// An item a track can append: a fixed part written into a page (and, for
// media frames, a payload that follows it). Concrete items give the byte
// form of their fixed part (encodeFixed / decodeFixed, in a given byte order,
// padding written as zero); the page-buffer operations and the ISerializable
// side are built on it, so each layout is written down exactly once.
//
// ISerializable covers the fixed part followed by the payload when the item
// carries one; reading it back reads the fixed part only (the payload
// belongs to whoever owns the frame's bytes).
class IRecordable : public ISerializable {
public:
    // Fixed part plus payload.
    int size() const override { return static_cast<int>(fixedSize() + payloadSize()); }
    virtual std::uint32_t fixedSize() const = 0;
    virtual std::uint32_t payloadSize() const { return 0; }
    virtual BitMask32 channelMask() const = 0;
    virtual std::uint64_t mediaID() const = 0;
    // Whether the item's channel mask is merged into its page's channel mask.
    virtual bool marksChannel() const = 0;

    virtual void encodeFixed(std::uint8_t* out, ByteOrder order) const = 0;
    virtual void decodeFixed(const std::uint8_t* in, ByteOrder order) = 0;

    // Page buffer side: the fixed part at an offset or at the position
    // (advancing it). Ranges outside the buffer raise VarnelException code 4.
    void readAt(const Buffer& buffer, std::size_t offset);
    void read(Buffer& buffer);
    void writeAt(Buffer& buffer, std::size_t offset) const;
    void write(Buffer& buffer) const { writeHeader(buffer); }
    void writeHeader(Buffer& buffer) const;
    // Writes `length` payload bytes from payload byte `from` at the position.
    virtual void writePayload(Buffer& buffer, std::uint32_t from, std::uint32_t length) const;

    // ISerializable over byte buffers.
    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;

    // The largest fixed part of any item kind.
    static constexpr std::uint32_t MaxFixedSize = 128;

protected:
    IRecordable() = default;
    IRecordable(const IRecordable&) = default;
    IRecordable& operator=(const IRecordable&) = default;
    // Payload bytes, when the item carries them.
    virtual const std::uint8_t* payload() const { return nullptr; }
};

} // namespace ostrel
