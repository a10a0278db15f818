#pragma once

#include "storage/TimelineLinkedElement.h"

#include <cstdint>

namespace ostrel {

// One video or audio frame in the media or pre-event track: a 64-byte fixed
// part (the same header the recorder sends with the frame) followed by
// dataSize + extraSize payload bytes.
//   0 u16 media type, 2 u16 frame index, 4 u32 GOP ID, 8 u32 channel mask,
//   12 u32 data size, 16 u64 media ID, 24 DateTime, 32 u16 attribute A,
//   34 u16 attribute B, 36 u32 attribute C, 40 u64 attribute D,
//   48 u32 linked channel mask, 52 u32 extra size, 56..63 zero.
class MediaElement : public TimelineLinkedElement {
public:
    static constexpr std::uint32_t FixedSize = 64;

    std::uint32_t fixedSize() const override { return FixedSize; }
    std::uint32_t payloadSize() const override { return _dataSize + _extraSize; }
    // Video frames only mark their channels in the page.
    bool marksChannel() const override { return _mediaType == Video; }

    std::uint16_t frameIndex() const { return _frameIndex; }
    void setFrameIndex(std::uint16_t index) { _frameIndex = index; }
    std::uint32_t gopID() const { return _gopID; }
    void setGopID(std::uint32_t id) { _gopID = id; }
    std::uint32_t dataSize() const { return _dataSize; }
    void setDataSize(std::uint32_t size) { _dataSize = size; }
    std::uint32_t extraSize() const { return _extraSize; }
    void setExtraSize(std::uint32_t size) { _extraSize = size; }
    std::uint16_t attributeA() const { return _attributeA; }
    std::uint16_t attributeB() const { return _attributeB; }
    std::uint32_t attributeC() const { return _attributeC; }
    std::uint64_t attributeD() const { return _attributeD; }
    void setAttributes(std::uint16_t a, std::uint16_t b, std::uint32_t c, std::uint64_t d) {
        _attributeA = a;
        _attributeB = b;
        _attributeC = c;
        _attributeD = d;
    }
    // The payload bytes (dataSize + extraSize of them); not owned, they must
    // outlive the writes of the item.
    void setPayload(const std::uint8_t* bytes) { _payload = bytes; }

    void encodeFixed(std::uint8_t* out, ByteOrder order) const override;
    void decodeFixed(const std::uint8_t* in, ByteOrder order) override;

protected:
    const std::uint8_t* payload() const override { return _payload; }

private:
    std::uint16_t _frameIndex = 0;
    std::uint32_t _gopID = 0;
    std::uint32_t _dataSize = 0;
    std::uint32_t _extraSize = 0;
    std::uint16_t _attributeA = 0;
    std::uint16_t _attributeB = 0;
    std::uint32_t _attributeC = 0;
    std::uint64_t _attributeD = 0;
    const std::uint8_t* _payload = nullptr;
};

} // namespace ostrel
