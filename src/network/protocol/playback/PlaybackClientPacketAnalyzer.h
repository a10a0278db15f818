#pragma once

#include "base/BitMask32.h"
#include "base/Date.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "network/protocol/ClientPacketAnalyzer.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class EventListEntry;
class EventListRequest;
class MediaFrame;
class MediaPosition;
class PlayRequest;
class RecordingTimeTableEntry;
class StorageListEntry;
class TextInEventListEntry;
class TextInFrame;

// Builds the playback requests a client sends to a site and parses the
// site's replies.
//
// Every builder writes one whole packet (begin, the payload, finish with
// padding). Every parser starts with payload() and reads only inside the
// received payload: a reply shorter than its layout, a malformed string or a
// count that promises more entries than the bytes that remain raises
// ByteBufferException, so a hostile peer can neither make a parser read
// outside the packet nor make it allocate more than the packet's size. A
// parser that fails leaves its out-parameters unchanged.
class PlaybackClientPacketAnalyzer : public ClientPacketAnalyzer {
public:
    // Parses a reply of an established session and hands it to the matching
    // reply operation of the playback facade; FIN goes to finReceived and any
    // other type to unknownPacketReceived. Always true: the session goes on
    // reading. A facade that is not a playback facade hears of FIN and unknown
    // packets only. A malformed reply raises ByteBufferException.
    bool analyze(int handle, Packet& packet, CommonFacade& facade) override;

    // 513: Date from; Date to.
    void makeRecordingCalendarRequest(Packet& packet, const Date& from, const Date& to) const;
    // 514: DateTime from; DateTime to; u32 channels (the channels after the range).
    void makeRecordingTimeTableRequest(Packet& packet, const Interval& range, const BitMask32& channels) const;
    // 515: DateTime from; DateTime to; u32 channels; the two filters.
    void makeEventListRequest(Packet& packet, const EventListRequest& request) const;
    // 516: u32 channels; DateTime from; DateTime to (the channels before the range).
    void makeSectionListRequest(Packet& packet, const Interval& range, const BitMask32& channels) const;
    // 518: u32 mode; DateTime from; DateTime to; u32 channels; three u32 parameters.
    void makePlayRequest(Packet& packet, const PlayRequest& request) const;
    // 519: the MediaPosition of the last frame delivered.
    void makePauseRequest(Packet& packet, const MediaPosition& position) const;
    // 521: Date from; Date to; boolean.
    void makeEventCalendarRequest(Packet& packet, const Date& from, const Date& to, bool flag) const;
    // 522: boolean flag; u32 count.
    void makeEventListContinueRequest(Packet& packet, uint32_t count, bool flag) const;
    // 523: MediaPosition; u64 value.
    void makeJumpToPositionRequest(Packet& packet, const MediaPosition& position, uint64_t value) const;
    // 523: MediaPosition; u64 zero; u32 channels.
    void makeJumpToEventRequest(Packet& packet, const MediaPosition& position, const BitMask32& channels) const;
    // 524: MediaPosition; DateTime; u32 value; u32 channels.
    void makeJumpToNearPositionRequest(Packet& packet, const MediaPosition& position, const DateTime& time,
                                       int value, const BitMask32& channels) const;
    // 525: DateTime from; DateTime to.
    void makePlaybackIntervalRequest(Packet& packet, const Interval& range) const;
    // 527: DateTime from; DateTime to; u32 count; u32 number of keywords; each
    // keyword as a string; boolean flag.
    void makeTextInEventListRequest(Packet& packet, const Interval& range, const std::vector<std::string>& keywords,
                                    bool flag, uint32_t count) const;
    // 528: boolean flag; u32 count.
    void makeTextInEventListContinueRequest(Packet& packet, uint32_t count, bool flag) const;
    // 529: u32 value; u64 media ID; u32 channels.
    void makeJumpToMediaIDRequest(Packet& packet, uint32_t value, uint64_t mediaID, const BitMask32& channels) const;
    // 530: boolean.
    void makeStorageListRequest(Packet& packet, bool flag) const;
    // 531: the storage's name as a string.
    void makeStorageChangeRequest(Packet& packet, std::string_view name) const;

    // 513: u32 n; n Dates, in the order received.
    void parseRecordingCalendar(Packet& packet, std::vector<Date>& dates) const;
    // 514: u32 n; n entries, returned sorted ascending by value, then by start time.
    void parseRecordingTimeTable(Packet& packet, std::vector<RecordingTimeTableEntry>& entries) const;
    // 515: two booleans; u32 n; n entries.
    void parseEventList(Packet& packet, bool& firstFlag, bool& secondFlag, std::vector<EventListEntry>& entries) const;
    // 516: u32 channels; DateTime from; DateTime to; u32 n; n section IDs.
    void parseSectionList(Packet& packet, BitMask32& channels, Interval& range,
                          std::vector<uint32_t>& sectionIDs) const;
    // 517: boolean; MediaPosition; the 64-byte header (DateTime in frame
    // layout, its last 8 bytes ignored); dataSize + extraSize bytes. The
    // frame's data points into the packet (valid until the packet is reused);
    // a frame whose sizes reach past the payload's end raises ByteBufferException.
    void parseMediaFrame(Packet& packet, bool& flag, MediaPosition& position, MediaFrame& frame) const;
    // 519: u32 reason.
    void parsePlaybackStopped(Packet& packet, uint32_t& reason) const;
    // 521: u32 n; n Dates, in the order received.
    void parseEventCalendar(Packet& packet, std::vector<Date>& dates) const;
    // 526: MediaPosition; u32 channels; u64 media ID; DateTime (frame layout);
    // u32 gopID; u16 frameIndex; u32 attribute; 64 bytes of text; then the
    // u32 flags only when at least 4 bytes remain (fewer are padding).
    void parseTextInFrame(Packet& packet, MediaPosition& position, TextInFrame& frame) const;
    // 527: two booleans; u32 value; u32 n; n entries.
    void parseTextInEventList(Packet& packet, bool& firstFlag, bool& secondFlag, uint32_t& value,
                              std::vector<TextInEventListEntry>& entries) const;
    // 530: boolean; u32 n; n entries.
    void parseStorageList(Packet& packet, bool& flag, std::vector<StorageListEntry>& entries) const;
    // 531: no payload; only selects it.
    void parseStorageChanged(Packet& packet) const;

    // Reads a u32 count of entries that take at least `minEntrySize` bytes
    // each; raises ByteBufferException (underflow) when the remaining payload
    // cannot hold that many, before anything is allocated for them.
    static uint32_t readCount(Packet& packet, int minEntrySize);

private:
    void parseDates(Packet& packet, std::vector<Date>& dates) const;
};

} // namespace ostrel
