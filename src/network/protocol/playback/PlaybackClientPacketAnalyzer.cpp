#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackClientFacade.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"

#include <algorithm>

namespace ostrel {

namespace {

constexpr int DateSize = 4;

} // namespace

bool PlaybackClientPacketAnalyzer::analyze(int handle, Packet& packet, CommonFacade& facade) {
    auto* playback = dynamic_cast<PlaybackClientFacade*>(&facade);
    if (playback == nullptr) {
        return ClientPacketAnalyzer::analyze(handle, packet, facade);
    }
    switch (packet.type()) {
    case PLAYBACK_MESSAGE_RECORDING_CALENDAR: {
        std::vector<Date> dates;
        parseRecordingCalendar(packet, dates);
        playback->recordingCalendarReceived(handle, dates);
        return true;
    }
    case PLAYBACK_MESSAGE_RECORDING_TIME_TABLE: {
        std::vector<RecordingTimeTableEntry> entries;
        parseRecordingTimeTable(packet, entries);
        playback->recordingTimeTableReceived(handle, entries);
        return true;
    }
    case PLAYBACK_MESSAGE_EVENT_LIST: {
        bool first = false;
        bool second = false;
        std::vector<EventListEntry> entries;
        parseEventList(packet, first, second, entries);
        playback->eventListReceived(handle, entries);
        return true;
    }
    case PLAYBACK_MESSAGE_SECTION_LIST: {
        BitMask32 channels;
        Interval range;
        std::vector<uint32_t> sectionIDs;
        parseSectionList(packet, channels, range, sectionIDs);
        playback->sectionListReceived(handle, channels, range, sectionIDs);
        return true;
    }
    case PLAYBACK_MESSAGE_MEDIA_FRAME: {
        bool flag = false;
        MediaPosition position;
        MediaFrame frame;
        parseMediaFrame(packet, flag, position, frame);
        playback->mediaFrameReceived(handle, frame, flag, position);
        return true;
    }
    case PLAYBACK_MESSAGE_PLAYBACK_STOPPED: {
        uint32_t reason = 0;
        parsePlaybackStopped(packet, reason);
        playback->playbackStoppedReceived(handle, reason);
        return true;
    }
    case PLAYBACK_MESSAGE_EVENT_CALENDAR: {
        std::vector<Date> dates;
        parseEventCalendar(packet, dates);
        playback->eventCalendarReceived(handle, dates);
        return true;
    }
    case PLAYBACK_MESSAGE_TEXT_IN_FRAME: {
        MediaPosition position;
        TextInFrame frame;
        parseTextInFrame(packet, position, frame);
        playback->textInFrameReceived(handle, frame, true, position);
        return true;
    }
    case PLAYBACK_MESSAGE_TEXT_IN_EVENT_LIST: {
        bool first = false;
        bool second = false;
        uint32_t value = 0;
        std::vector<TextInEventListEntry> entries;
        parseTextInEventList(packet, first, second, value, entries);
        playback->textInEventListReceived(handle, entries);
        return true;
    }
    case PLAYBACK_MESSAGE_STORAGE_LIST: {
        bool flag = false;
        std::vector<StorageListEntry> entries;
        parseStorageList(packet, flag, entries);
        playback->storageListReceived(handle, flag, entries);
        return true;
    }
    case PLAYBACK_MESSAGE_STORAGE_CHANGE:
        parseStorageChanged(packet);
        playback->storageChanged(handle);
        return true;
    default:
        // FIN and everything this protocol does not know.
        return ClientPacketAnalyzer::analyze(handle, packet, facade);
    }
}

void PlaybackClientPacketAnalyzer::makeRecordingCalendarRequest(Packet& packet, const Date& from,
                                                                const Date& to) const {
    packet.begin(PLAYBACK_MESSAGE_RECORDING_CALENDAR);
    packet.putDate(from);
    packet.putDate(to);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeRecordingTimeTableRequest(Packet& packet, const Interval& range,
                                                                 const BitMask32& channels) const {
    packet.begin(PLAYBACK_MESSAGE_RECORDING_TIME_TABLE);
    packet.putDateTime(range.from());
    packet.putDateTime(range.to());
    packet.putInt(channels.word());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeEventListRequest(Packet& packet, const EventListRequest& request) const {
    packet.begin(PLAYBACK_MESSAGE_EVENT_LIST);
    request.write(packet);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeSectionListRequest(Packet& packet, const Interval& range,
                                                          const BitMask32& channels) const {
    packet.begin(PLAYBACK_MESSAGE_SECTION_LIST);
    packet.putInt(channels.word());
    packet.putDateTime(range.from());
    packet.putDateTime(range.to());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makePlayRequest(Packet& packet, const PlayRequest& request) const {
    packet.begin(PLAYBACK_MESSAGE_PLAY);
    request.write(packet);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makePauseRequest(Packet& packet, const MediaPosition& position) const {
    packet.begin(PLAYBACK_MESSAGE_PAUSE);
    position.write(packet);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeEventCalendarRequest(Packet& packet, const Date& from, const Date& to,
                                                            bool flag) const {
    packet.begin(PLAYBACK_MESSAGE_EVENT_CALENDAR);
    packet.putDate(from);
    packet.putDate(to);
    packet.putBool(flag);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeEventListContinueRequest(Packet& packet, uint32_t count, bool flag) const {
    packet.begin(PLAYBACK_MESSAGE_EVENT_LIST_CONTINUE);
    packet.putBool(flag);
    packet.putInt(count);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeJumpToPositionRequest(Packet& packet, const MediaPosition& position,
                                                             uint64_t value) const {
    packet.begin(PLAYBACK_MESSAGE_JUMP_TO_POSITION);
    position.write(packet);
    packet.putLong(value);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeJumpToEventRequest(Packet& packet, const MediaPosition& position,
                                                          const BitMask32& channels) const {
    packet.begin(PLAYBACK_MESSAGE_JUMP_TO_POSITION);
    position.write(packet);
    packet.putLong(0);
    packet.putInt(channels.word());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeJumpToNearPositionRequest(Packet& packet, const MediaPosition& position,
                                                                 const DateTime& time, int value,
                                                                 const BitMask32& channels) const {
    packet.begin(PLAYBACK_MESSAGE_JUMP_TO_NEAR_POSITION);
    position.write(packet);
    packet.putDateTime(time);
    packet.putInt(static_cast<uint32_t>(value));
    packet.putInt(channels.word());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makePlaybackIntervalRequest(Packet& packet, const Interval& range) const {
    packet.begin(PLAYBACK_MESSAGE_PLAYBACK_INTERVAL);
    packet.putDateTime(range.from());
    packet.putDateTime(range.to());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeTextInEventListRequest(Packet& packet, const Interval& range,
                                                              const std::vector<std::string>& keywords, bool flag,
                                                              uint32_t count) const {
    packet.begin(PLAYBACK_MESSAGE_TEXT_IN_EVENT_LIST);
    packet.putDateTime(range.from());
    packet.putDateTime(range.to());
    packet.putInt(count);
    packet.putInt(static_cast<uint32_t>(keywords.size()));
    for (const std::string& keyword : keywords) {
        packet.putString(keyword);
    }
    packet.putBool(flag);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeTextInEventListContinueRequest(Packet& packet, uint32_t count,
                                                                      bool flag) const {
    packet.begin(PLAYBACK_MESSAGE_TEXT_IN_EVENT_LIST_CONTINUE);
    packet.putBool(flag);
    packet.putInt(count);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeJumpToMediaIDRequest(Packet& packet, uint32_t value, uint64_t mediaID,
                                                            const BitMask32& channels) const {
    packet.begin(PLAYBACK_MESSAGE_JUMP_TO_MEDIA_ID);
    packet.putInt(value);
    packet.putLong(mediaID);
    packet.putInt(channels.word());
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeStorageListRequest(Packet& packet, bool flag) const {
    packet.begin(PLAYBACK_MESSAGE_STORAGE_LIST);
    packet.putBool(flag);
    packet.finish(true);
}

void PlaybackClientPacketAnalyzer::makeStorageChangeRequest(Packet& packet, std::string_view name) const {
    packet.begin(PLAYBACK_MESSAGE_STORAGE_CHANGE);
    packet.putString(name);
    packet.finish(true);
}

uint32_t PlaybackClientPacketAnalyzer::readCount(Packet& packet, int minEntrySize) {
    const uint32_t count = packet.getInt();
    if (count > static_cast<uint32_t>(packet.remaining() / minEntrySize)) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    return count;
}

void PlaybackClientPacketAnalyzer::parseDates(Packet& packet, std::vector<Date>& dates) const {
    packet.payload();
    const uint32_t count = readCount(packet, DateSize);
    std::vector<Date> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.push_back(packet.getDate());
    }
    dates = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseRecordingCalendar(Packet& packet, std::vector<Date>& dates) const {
    parseDates(packet, dates);
}

void PlaybackClientPacketAnalyzer::parseRecordingTimeTable(Packet& packet,
                                                           std::vector<RecordingTimeTableEntry>& entries) const {
    packet.payload();
    const uint32_t count = readCount(packet, RecordingTimeTableEntry::WireSize);
    std::vector<RecordingTimeTableEntry> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.emplace_back().read(packet);
    }
    std::stable_sort(parsed.begin(), parsed.end(),
                     [](const RecordingTimeTableEntry& a, const RecordingTimeTableEntry& b) { return a.precedes(b); });
    entries = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseEventList(Packet& packet, bool& firstFlag, bool& secondFlag,
                                                  std::vector<EventListEntry>& entries) const {
    packet.payload();
    const bool first = packet.getBool();
    const bool second = packet.getBool();
    const uint32_t count = readCount(packet, EventListEntry::WireSize);
    std::vector<EventListEntry> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.emplace_back().read(packet);
    }
    firstFlag = first;
    secondFlag = second;
    entries = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseSectionList(Packet& packet, BitMask32& channels, Interval& range,
                                                    std::vector<uint32_t>& sectionIDs) const {
    packet.payload();
    const uint32_t mask = packet.getInt();
    const DateTime from = packet.getDateTime();
    const DateTime to = packet.getDateTime();
    const uint32_t count = readCount(packet, 4);
    std::vector<uint32_t> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.push_back(packet.getInt());
    }
    channels = BitMask32(mask);
    range = Interval(from, to);
    sectionIDs = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseMediaFrame(Packet& packet, bool& flag, MediaPosition& position,
                                                   MediaFrame& frame) const {
    packet.payload();
    const bool received = packet.getBool();
    MediaPosition at;
    at.read(packet);
    if (packet.remaining() < MediaFrame::HeaderSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    MediaFrame parsed;
    parsed.setMediaType(packet.getShort());
    parsed.setFrameIndex(packet.getShort());
    parsed.setGopID(packet.getInt());
    parsed.setChannelMask(BitMask32(packet.getInt()));
    parsed.setDataSize(packet.getInt());
    parsed.setMediaID(packet.getLong());
    parsed.setTime(packet.getFrameDateTime());
    parsed.setAttributeA(packet.getShort());
    parsed.setAttributeB(packet.getShort());
    parsed.setAttributeC(packet.getInt());
    parsed.setAttributeD(packet.getLong());
    parsed.setLinkedChannelMask(BitMask32(packet.getInt()));
    parsed.setExtraSize(packet.getInt());
    packet.skip(8);
    parsed.attachData(packet);
    flag = received;
    position = at;
    frame = parsed;
}

void PlaybackClientPacketAnalyzer::parsePlaybackStopped(Packet& packet, uint32_t& reason) const {
    packet.payload();
    reason = packet.getInt();
}

void PlaybackClientPacketAnalyzer::parseEventCalendar(Packet& packet, std::vector<Date>& dates) const {
    parseDates(packet, dates);
}

void PlaybackClientPacketAnalyzer::parseTextInFrame(Packet& packet, MediaPosition& position,
                                                    TextInFrame& frame) const {
    packet.payload();
    MediaPosition at;
    at.read(packet);
    // channels, media ID, time, gopID, frameIndex, attribute, text
    constexpr int FixedSize = 4 + 8 + 8 + 4 + 2 + 4 + TextInFrame::TextFieldSize;
    if (packet.remaining() < FixedSize) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    TextInFrame parsed;
    parsed.setChannelMask(BitMask32(packet.getInt()));
    parsed.setMediaID(packet.getLong());
    parsed.setTime(packet.getFrameDateTime());
    parsed.setGopID(packet.getInt());
    parsed.setFrameIndex(packet.getShort());
    parsed.setAttribute(packet.getInt());
    parsed.setLinkedChannelMask(BitMask32(BitMask32::AllBits));
    parsed.setTimelinePosition(0, 0);
    char text[TextInFrame::TextFieldSize];
    packet.get(text, 0, TextInFrame::TextFieldSize);
    parsed.setText(std::string_view(text, TextInFrame::TextFieldSize));
    // Every payload is padded to a multiple of 4, so fewer than 4 trailing
    // bytes are padding rather than a cut-off flags word.
    if (packet.remaining() >= 4) {
        parsed.setFlags(BitMask32(packet.getInt()));
    }
    position = at;
    frame = parsed;
}

void PlaybackClientPacketAnalyzer::parseTextInEventList(Packet& packet, bool& firstFlag, bool& secondFlag,
                                                        uint32_t& value,
                                                        std::vector<TextInEventListEntry>& entries) const {
    packet.payload();
    const bool first = packet.getBool();
    const bool second = packet.getBool();
    const uint32_t head = packet.getInt();
    const uint32_t count = readCount(packet, TextInEventListEntry::WireSize);
    std::vector<TextInEventListEntry> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.emplace_back().read(packet);
    }
    firstFlag = first;
    secondFlag = second;
    value = head;
    entries = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseStorageList(Packet& packet, bool& flag,
                                                    std::vector<StorageListEntry>& entries) const {
    packet.payload();
    const bool received = packet.getBool();
    const uint32_t count = readCount(packet, StorageListEntry::MinWireSize);
    std::vector<StorageListEntry> parsed;
    for (uint32_t i = 0; i < count; ++i) {
        parsed.emplace_back().read(packet);
    }
    flag = received;
    entries = std::move(parsed);
}

void PlaybackClientPacketAnalyzer::parseStorageChanged(Packet& packet) const { packet.payload(); }

} // namespace ostrel
