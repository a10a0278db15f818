#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "storage/IRecordable.h"
#include "storage/PagePosition.h"

#include <cstdint>

namespace ostrel {

// One timeline entry per accepted media frame (64 bytes):
//   0 u16 media type, 2 u16 frame index, 4 u32 GOP ID, 8 u32 channel mask,
//   12 u32 linked channel mask, 16 DateTime, 24 u64 media ID,
//   32 media position (page, offset), 40 position of the previous element of
//   the same media type and channel mask, 48 u32 total frame size, 52..63 zero.
class TimelineElement : public IRecordable {
public:
    static constexpr std::uint32_t FixedSize = 64;

    std::uint32_t fixedSize() const override { return FixedSize; }
    BitMask32 channelMask() const override { return _channelMask; }
    std::uint64_t mediaID() const override { return _mediaID; }
    bool marksChannel() const override { return _mediaType == 0; }

    std::uint16_t mediaType() const { return _mediaType; }
    // The element that indexes `frame` (a MediaElement or a TextInElement),
    // stored at `position`: its type, index, GOP, channels, time, media ID
    // and whole size (fixed part and payload, at most 0xFFFFFFFF).
    template <typename Frame>
    static TimelineElement indexing(const Frame& frame, const PagePosition& position) {
        TimelineElement element;
        element.setMediaType(frame.mediaType());
        element.setFrameIndex(frame.frameIndex());
        element.setGopID(frame.gopID());
        element.setChannelMask(frame.channelMask());
        element.setLinkedChannelMask(frame.linkedChannelMask());
        element.setDateTime(frame.dateTime());
        element.setMediaID(frame.mediaID());
        element.setMediaPosition(position);
        const std::uint64_t size = std::uint64_t{frame.fixedSize()} + frame.payloadSize();
        element.setTotalSize(size > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size));
        return element;
    }

    void setMediaType(std::uint16_t type) { _mediaType = type; }
    std::uint16_t frameIndex() const { return _frameIndex; }
    void setFrameIndex(std::uint16_t index) { _frameIndex = index; }
    std::uint32_t gopID() const { return _gopID; }
    void setGopID(std::uint32_t id) { _gopID = id; }
    void setChannelMask(BitMask32 mask) { _channelMask = mask; }
    BitMask32 linkedChannelMask() const { return _linkedMask; }
    void setLinkedChannelMask(BitMask32 mask) { _linkedMask = mask; }
    const DateTime& dateTime() const { return _dateTime; }
    void setDateTime(const DateTime& time) { _dateTime = time; }
    void setMediaID(std::uint64_t id) { _mediaID = id; }
    const PagePosition& mediaPosition() const { return _mediaPosition; }
    void setMediaPosition(const PagePosition& position) { _mediaPosition = position; }
    const PagePosition& previousPosition() const { return _previousPosition; }
    void setPreviousPosition(const PagePosition& position) { _previousPosition = position; }
    std::uint32_t totalSize() const { return _totalSize; }
    void setTotalSize(std::uint32_t size) { _totalSize = size; }

    void encodeFixed(std::uint8_t* out, ByteOrder order) const override;
    void decodeFixed(const std::uint8_t* in, ByteOrder order) override;

private:
    std::uint16_t _mediaType = 0;
    std::uint16_t _frameIndex = 0;
    std::uint32_t _gopID = 0;
    BitMask32 _channelMask;
    BitMask32 _linkedMask;
    DateTime _dateTime;
    std::uint64_t _mediaID = 0;
    PagePosition _mediaPosition;
    PagePosition _previousPosition;
    std::uint32_t _totalSize = 0;
};

} // namespace ostrel
