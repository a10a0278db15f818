#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "storage/IRecordable.h"
#include "storage/PagePosition.h"

#include <cstdint>

namespace ostrel {

// One change point of the recording (64 bytes):
//   0 DateTime, 8 u32 channel mask (0 in a stop entry), 12 u32 section ID,
//   16 position of the timeline element it describes, 24 u64 media ID of that
//   element, 32 position of the previously written entry, 40 u32 previous
//   channel mask, 44..63 zero.
class RecordingTableElement : public IRecordable {
public:
    static constexpr std::uint32_t FixedSize = 64;

    std::uint32_t fixedSize() const override { return FixedSize; }
    BitMask32 channelMask() const override { return _channelMask; }
    std::uint64_t mediaID() const override { return _mediaID; }
    bool marksChannel() const override { return true; }

    const DateTime& dateTime() const { return _dateTime; }
    void setDateTime(const DateTime& time) { _dateTime = time; }
    void setChannelMask(BitMask32 mask) { _channelMask = mask; }
    std::uint32_t sectionID() const { return _sectionID; }
    void setSectionID(std::uint32_t id) { _sectionID = id; }
    const PagePosition& position() const { return _position; }
    void setPosition(const PagePosition& position) { _position = position; }
    void setMediaID(std::uint64_t id) { _mediaID = id; }
    const PagePosition& previousPosition() const { return _previousPosition; }
    void setPreviousPosition(const PagePosition& position) { _previousPosition = position; }
    BitMask32 previousChannelMask() const { return _previousMask; }
    void setPreviousChannelMask(BitMask32 mask) { _previousMask = mask; }

    void encodeFixed(std::uint8_t* out, ByteOrder order) const override;
    void decodeFixed(const std::uint8_t* in, ByteOrder order) override;

private:
    DateTime _dateTime;
    BitMask32 _channelMask;
    std::uint32_t _sectionID = 0;
    PagePosition _position;
    std::uint64_t _mediaID = 0;
    PagePosition _previousPosition;
    BitMask32 _previousMask;
};

} // namespace ostrel
