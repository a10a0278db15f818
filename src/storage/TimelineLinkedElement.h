#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "storage/IRecordable.h"

#include <cstdint>

namespace ostrel {

// What media frames, events and text-in records have in common: the channel
// mask, a second (linked) channel mask, the date-time, the media ID and the
// media type (0 video, 1 audio, 3 text-in).
class TimelineLinkedElement : public IRecordable {
public:
    enum MediaType : std::uint16_t { Video = 0, Audio = 1, TextIn = 3 };

    BitMask32 channelMask() const override { return _channelMask; }
    void setChannelMask(BitMask32 mask) { _channelMask = mask; }
    BitMask32 linkedChannelMask() const { return _linkedMask; }
    void setLinkedChannelMask(BitMask32 mask) { _linkedMask = mask; }
    const DateTime& dateTime() const { return _dateTime; }
    void setDateTime(const DateTime& time) { _dateTime = time; }
    std::uint64_t mediaID() const override { return _mediaID; }
    void setMediaID(std::uint64_t id) { _mediaID = id; }
    std::uint16_t mediaType() const { return _mediaType; }
    void setMediaType(std::uint16_t type) { _mediaType = type; }

protected:
    TimelineLinkedElement() = default;
    TimelineLinkedElement(const TimelineLinkedElement&) = default;
    TimelineLinkedElement& operator=(const TimelineLinkedElement&) = default;

    BitMask32 _channelMask;
    BitMask32 _linkedMask;
    DateTime _dateTime;
    std::uint64_t _mediaID = 0;
    std::uint16_t _mediaType = Video;
};

} // namespace ostrel
