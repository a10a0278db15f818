#pragma once

#include "base/Date.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "ostrel-sitesim/RecordingDescription.h"
#include "ostrel-sitesim/RecordingItem.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel {

class MediaFrame;
class TextInFrame;

// The deterministic recording of a simulated site, computed on demand from
// its description: nothing is stored but the payload pattern (as long as the
// largest frame), so a recording of any length costs no more memory, and
// every frame is the same each time it is asked for.
//
// Times are whole seconds counted like DateTime::epochSeconds (the fields
// read as UTC). Ranges are inclusive at both ends, as the sites' time tables
// are. What is recorded can change with the wall clock (growing, retained
// seconds): every query takes `elapsed`, the seconds since the site started.
class SyntheticRecording {
public:
    // Recorded seconds first..last (inclusive, counted from the section's
    // first second) of one section.
    struct Span {
        size_t section = 0;
        uint32_t sectionID = 0;
        int64_t start = 0; // epoch seconds of the section's second 0
        int64_t first = 0;
        int64_t last = 0;

        int64_t firstEpoch() const { return start + first; }
        int64_t lastEpoch() const { return start + last; }
    };

    // The description must be valid (RecordingDescription::validate); every
    // section is moved by shiftSeconds.
    explicit SyntheticRecording(RecordingDescription description, int64_t shiftSeconds = 0);

    const RecordingDescription& description() const { return _description; }
    int slotsPerTick() const { return _description.videoChannels + _description.audioChannels; }
    int slotsPerSecond() const;
    // The mask of the video channels 0 to V - 1.
    uint32_t videoMask() const;

    // What is recorded `elapsed` seconds after the site started, oldest first.
    std::vector<Span> spans(int64_t elapsed) const;
    // The spans cut to [from, to] (epoch seconds, inclusive); empty ones dropped.
    static std::vector<Span> clip(const std::vector<Span>& spans, int64_t from, int64_t to);

    // The item in a slot of a second of a span; false when the slot is empty
    // (a text-in rule that does not fire in that second) or out of range.
    bool itemAt(const Span& span, int64_t second, int slot, RecordingItem& item) const;
    // The item at a position, if it is recorded `elapsed` seconds after start.
    bool find(const MediaPosition& position, int64_t elapsed, RecordingItem& item) const;
    // Whether an item is delivered for a channel mask: video and text-in by
    // their channel, audio by the video channel it belongs to.
    bool includes(const RecordingItem& item, uint32_t mask) const;
    // The video and audio items of one tick in the channels of the mask, in slot order.
    std::vector<RecordingItem> tickItems(const Span& span, int64_t second, int tick, uint32_t mask) const;
    // The first tick (counted from the section's first second) at or after
    // the span's first second whose video frames are key frames, if the span has one.
    std::optional<int64_t> firstKeyTick(const Span& span) const;

    // The 64-byte header of a video or audio item (the data pointer is left alone).
    void header(const RecordingItem& item, MediaFrame& frame) const;
    // dataSize + extraSize of a video or audio item.
    uint32_t payloadLength(const RecordingItem& item) const;
    // The payload bytes of a video or audio item (FramePayload).
    void payload(const RecordingItem& item, std::vector<uint8_t>& out) const;
    // The same bytes appended to `out`.
    void appendPayload(const RecordingItem& item, std::vector<uint8_t>& out) const;
    // The pattern the item's payload is made of, as long as the payload: the
    // payload is this with FramePayload's stamp laid over its start. Valid as
    // long as the recording.
    std::span<const uint8_t> payloadPattern(const RecordingItem& item) const;
    // The text-in record of a text-in item, as a site sends it.
    TextInFrame textIn(const RecordingItem& item) const;
    // The text of a text-in item: "<rule text> <n>".
    std::string textOf(const RecordingItem& item) const;

    // The events in [from, to] on the channels of the mask whose type bit is
    // set in typeFilter and sub-type bit in subTypeFilter (types from 32 on
    // pass only an all-ones filter), ordered by time, then media ID; at most
    // `limit`, `cut` telling whether more matched.
    std::vector<EventListEntry> events(const std::vector<Span>& spans, int64_t from, int64_t to, uint32_t mask,
                                       uint32_t typeFilter, uint32_t subTypeFilter, size_t limit, bool& cut) const;
    // One entry per section with recording in [from, to] on the channels:
    // value = section ID, the section's whole recorded interval, the channels
    // of the mask it records.
    std::vector<RecordingTimeTableEntry> timeTable(const std::vector<Span>& spans, int64_t from, int64_t to,
                                                   uint32_t mask) const;
    // The IDs of the sections with recording in [from, to] on the channels, ascending.
    std::vector<uint32_t> sectionIDs(const std::vector<Span>& spans, int64_t from, int64_t to, uint32_t mask) const;
    // The days from `from` to `to` with recording, ascending, at most `limit`.
    std::vector<Date> calendar(const std::vector<Span>& spans, const Date& from, const Date& to, size_t limit) const;

    // Epoch seconds of a DateTime, or nothing when it is not a calendar time.
    static std::optional<int64_t> secondsOf(const DateTime& time);

private:
    static bool fires(uint32_t every, uint32_t offset, int64_t second);
    // The first second >= from at which a rule fires, if any up to `to`.
    static std::optional<int64_t> firstFiring(uint32_t every, uint32_t offset, int64_t from, int64_t to);
    static bool passes(uint32_t filter, uint8_t bit);
    uint64_t mediaIDOf(uint32_t sectionID, int64_t second, int slot) const;

    RecordingDescription _description;
    std::vector<int64_t> _starts;
    std::vector<int64_t> _lengths;
    // FramePayload's pattern, as long as the longest payload: a payload is a
    // copy of its start with the frame's stamp laid over it.
    std::vector<uint8_t> _pattern;
};

} // namespace ostrel
