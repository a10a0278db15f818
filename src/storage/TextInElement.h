#pragma once

#include "base/BitMask32.h"
#include "storage/PagePosition.h"
#include "storage/TimelineLinkedElement.h"

#include <cstdint>
#include <string>

namespace ostrel {

// One text-in record (fixed part 128 bytes):
//   0 u16 media type (3), 2 u16 frame index, 4 u32 GOP ID, 8 u32 channel mask,
//   12 u32 zero, 16 u64 media ID, 24 DateTime, 32 run start position,
//   40 u64 zero, 48 u32 linked channel mask, 52 u32 attribute word (the
//   section ID in a stored record), 56 u32 flags, 60 text (64 bytes,
//   zero-terminated, at most 63 characters), 124 u32 zero.
class TextInElement : public TimelineLinkedElement {
public:
    static constexpr std::uint32_t FixedSize = 128;
    static constexpr std::size_t TextSize = 64;

    TextInElement() { _mediaType = TextIn; }

    std::uint32_t fixedSize() const override { return FixedSize; }
    bool marksChannel() const override { return false; }

    std::uint16_t frameIndex() const { return _frameIndex; }
    void setFrameIndex(std::uint16_t index) { _frameIndex = index; }
    std::uint32_t gopID() const { return _gopID; }
    void setGopID(std::uint32_t id) { _gopID = id; }
    const PagePosition& runStart() const { return _runStart; }
    void setRunStart(const PagePosition& position) { _runStart = position; }
    std::uint32_t attribute() const { return _attribute; }
    void setAttribute(std::uint32_t word) { _attribute = word; }
    BitMask32 flags() const { return _flags; }
    void setFlags(BitMask32 flags) { _flags = flags; }
    const std::string& text() const { return _text; }
    // Keeps at most 63 characters (up to the first zero byte).
    void setText(const std::string& text);

    void encodeFixed(std::uint8_t* out, ByteOrder order) const override;
    void decodeFixed(const std::uint8_t* in, ByteOrder order) override;

private:
    std::uint16_t _frameIndex = 0;
    std::uint32_t _gopID = 0;
    PagePosition _runStart;
    std::uint32_t _attribute = 0;
    BitMask32 _flags;
    std::string _text;
};

} // namespace ostrel
