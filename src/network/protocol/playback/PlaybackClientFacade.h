#pragma once

#include "base/BitMask32.h"
#include "base/Date.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "network/protocol/ClientFacade.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"

#include <cstdint>
#include <source_location>
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

// The client facade of remote playback: it sends the playback requests to a
// logged-in site and turns the site's replies into calls of the reply
// operations below, which run on the dispatcher's worker thread and do
// nothing unless overridden.
//
// Every request looks the session up, then builds the packet in the shared
// packet and queues it with Normal priority as one step under the send
// mutex, so requests of several threads never interleave. An unknown handle
// raises InvalidSessionHandleException and a full send queue
// SendQueueOverflowException; nothing is sent then.
class PlaybackClientFacade : public ClientFacade {
public:
    PlaybackClientFacade(int channels, Dispatcher& dispatcher);
    PlaybackClientFacade(int channels, Dispatcher& dispatcher, const Clock& clock);
    ~PlaybackClientFacade() override;

    ClientPacketAnalyzer& clientPacketAnalyzer() override { return _analyzer; }
    // A site without a playback profile (type 2) is refused.
    bool profileListAcceptable(const ProfileList& list) override;

    // ---- requests -------------------------------------------------------------
    void sendRecordingCalendarRequest(int handle, const Date& from, const Date& to);
    void sendRecordingTimeTableRequest(int handle, const Interval& range, const BitMask32& channels);
    void sendEventListRequest(int handle, const EventListRequest& request);
    void sendSectionListRequest(int handle, const Interval& range, const BitMask32& channels);
    void sendPlayRequest(int handle, const PlayRequest& request);
    void sendPauseRequest(int handle, const MediaPosition& position);
    void sendEventCalendarRequest(int handle, const Date& from, const Date& to, bool flag);
    void sendEventListContinueRequest(int handle, uint32_t count, bool flag);
    void sendJumpToPositionRequest(int handle, const MediaPosition& position, uint64_t value);
    void sendJumpToEventRequest(int handle, const MediaPosition& position, const BitMask32& channels);
    void sendJumpToNearPositionRequest(int handle, const MediaPosition& position, const DateTime& time, int value,
                                       const BitMask32& channels);
    void sendPlaybackIntervalRequest(int handle, const Interval& range);
    void sendTextInEventListRequest(int handle, const Interval& range, const std::vector<std::string>& keywords,
                                    bool flag, uint32_t count);
    void sendTextInEventListContinueRequest(int handle, uint32_t count, bool flag);
    void sendJumpToMediaIDRequest(int handle, uint32_t value, uint64_t mediaID, const BitMask32& channels);
    void sendStorageListRequest(int handle, bool flag);
    void sendStorageChangeRequest(int handle, std::string_view name);

    // ---- replies, on the dispatcher's worker thread ----------------------------
    // Frames refer to the bytes of the session's receive packet, which the next
    // read reuses: whoever keeps one beyond the call copies it first.
    virtual void recordingCalendarReceived(int /*handle*/, const std::vector<Date>& /*dates*/) {}
    virtual void recordingTimeTableReceived(int /*handle*/, const std::vector<RecordingTimeTableEntry>& /*list*/) {}
    virtual void eventListReceived(int /*handle*/, const std::vector<EventListEntry>& /*list*/) {}
    virtual void sectionListReceived(int /*handle*/, const BitMask32& /*channels*/, const Interval& /*range*/,
                                     const std::vector<uint32_t>& /*sectionIDs*/) {}
    virtual void mediaFrameReceived(int /*handle*/, const MediaFrame& /*frame*/, bool /*flag*/,
                                    const MediaPosition& /*position*/) {}
    virtual void playbackStoppedReceived(int /*handle*/, uint32_t /*reason*/) {}
    virtual void eventCalendarReceived(int /*handle*/, const std::vector<Date>& /*dates*/) {}
    virtual void textInFrameReceived(int /*handle*/, const TextInFrame& /*frame*/, bool /*flag*/,
                                     const MediaPosition& /*position*/) {}
    virtual void textInEventListReceived(int /*handle*/, const std::vector<TextInEventListEntry>& /*list*/) {}
    virtual void storageListReceived(int /*handle*/, bool /*flag*/, const std::vector<StorageListEntry>& /*list*/) {}
    virtual void storageChanged(int /*handle*/) {}

private:
    // The analyzer the sessions build with, or Exception "Unsupported packet
    // type." (located at the calling request) when it cannot build playback
    // requests.
    const PlaybackClientPacketAnalyzer& playbackAnalyzer(
        std::source_location where = std::source_location::current());

    PlaybackClientPacketAnalyzer _analyzer;
};

} // namespace ostrel
