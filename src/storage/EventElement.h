#pragma once

#include "storage/PagePosition.h"
#include "storage/TimelineLinkedElement.h"

#include <cstdint>

namespace ostrel {

// One alarm, motion or other event (64 bytes):
//   0 u8 event type, 1 u8 sub-type, 2 u16 zero, 4 u32 channel mask,
//   8 u64 media ID of the frame it is attached to, 16 DateTime,
//   24 position of that frame's timeline element, 32 u32 section ID, 36..63 zero.
class EventElement : public TimelineLinkedElement {
public:
    static constexpr std::uint32_t FixedSize = 64;

    std::uint32_t fixedSize() const override { return FixedSize; }
    bool marksChannel() const override { return true; }

    std::uint8_t eventType() const { return _eventType; }
    void setEventType(std::uint8_t type) { _eventType = type; }
    std::uint8_t eventSubType() const { return _eventSubType; }
    void setEventSubType(std::uint8_t type) { _eventSubType = type; }
    const PagePosition& timelinePos() const { return _timelinePos; }
    void setTimelinePos(const PagePosition& position) { _timelinePos = position; }
    std::uint32_t sectionID() const { return _sectionID; }
    void setSectionID(std::uint32_t id) { _sectionID = id; }

    void encodeFixed(std::uint8_t* out, ByteOrder order) const override;
    void decodeFixed(const std::uint8_t* in, ByteOrder order) override;

private:
    std::uint8_t _eventType = 0;
    std::uint8_t _eventSubType = 0;
    PagePosition _timelinePos;
    std::uint32_t _sectionID = 0;
};

} // namespace ostrel
