#include "network/protocol/playback/PlaybackClientFacade.h"

#include "base/Exception.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"

namespace ostrel {

PlaybackClientFacade::PlaybackClientFacade(int channels, Dispatcher& dispatcher) : ClientFacade(channels, dispatcher) {}

PlaybackClientFacade::PlaybackClientFacade(int channels, Dispatcher& dispatcher, const Clock& clock)
    : ClientFacade(channels, dispatcher, clock) {}

PlaybackClientFacade::~PlaybackClientFacade() { stop(); }

bool PlaybackClientFacade::profileListAcceptable(const ProfileList& list) {
    return list.contains(ProfileList::PlaybackProfile);
}

const PlaybackClientPacketAnalyzer& PlaybackClientFacade::playbackAnalyzer(std::source_location where) {
    const auto* analyzer = dynamic_cast<const PlaybackClientPacketAnalyzer*>(&clientPacketAnalyzer());
    if (analyzer == nullptr) {
        throw Exception("Exception", 0, std::string("Unsupported packet type."), where);
    }
    return *analyzer;
}

void PlaybackClientFacade::sendRecordingCalendarRequest(int handle, const Date& from, const Date& to) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeRecordingCalendarRequest(packet, from, to); });
}

void PlaybackClientFacade::sendRecordingTimeTableRequest(int handle, const Interval& range,
                                                         const BitMask32& channels) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeRecordingTimeTableRequest(packet, range, channels); });
}

void PlaybackClientFacade::sendEventListRequest(int handle, const EventListRequest& request) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeEventListRequest(packet, request); });
}

void PlaybackClientFacade::sendSectionListRequest(int handle, const Interval& range, const BitMask32& channels) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeSectionListRequest(packet, range, channels); });
}

void PlaybackClientFacade::sendPlayRequest(int handle, const PlayRequest& request) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makePlayRequest(packet, request); });
}

void PlaybackClientFacade::sendPauseRequest(int handle, const MediaPosition& position) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makePauseRequest(packet, position); });
}

void PlaybackClientFacade::sendEventCalendarRequest(int handle, const Date& from, const Date& to, bool flag) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeEventCalendarRequest(packet, from, to, flag); });
}

void PlaybackClientFacade::sendEventListContinueRequest(int handle, uint32_t count, bool flag) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeEventListContinueRequest(packet, count, flag); });
}

void PlaybackClientFacade::sendJumpToPositionRequest(int handle, const MediaPosition& position, uint64_t value) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeJumpToPositionRequest(packet, position, value); });
}

void PlaybackClientFacade::sendJumpToEventRequest(int handle, const MediaPosition& position,
                                                  const BitMask32& channels) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeJumpToEventRequest(packet, position, channels); });
}

void PlaybackClientFacade::sendJumpToNearPositionRequest(int handle, const MediaPosition& position,
                                                         const DateTime& time, int value,
                                                         const BitMask32& channels) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) {
        analyzer.makeJumpToNearPositionRequest(packet, position, time, value, channels);
    });
}

void PlaybackClientFacade::sendPlaybackIntervalRequest(int handle, const Interval& range) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makePlaybackIntervalRequest(packet, range); });
}

void PlaybackClientFacade::sendTextInEventListRequest(int handle, const Interval& range,
                                                      const std::vector<std::string>& keywords, bool flag,
                                                      uint32_t count) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) {
        analyzer.makeTextInEventListRequest(packet, range, keywords, flag, count);
    });
}

void PlaybackClientFacade::sendTextInEventListContinueRequest(int handle, uint32_t count, bool flag) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeTextInEventListContinueRequest(packet, count, flag); });
}

void PlaybackClientFacade::sendJumpToMediaIDRequest(int handle, uint32_t value, uint64_t mediaID,
                                                    const BitMask32& channels) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeJumpToMediaIDRequest(packet, value, mediaID, channels); });
}

void PlaybackClientFacade::sendStorageListRequest(int handle, bool flag) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeStorageListRequest(packet, flag); });
}

void PlaybackClientFacade::sendStorageChangeRequest(int handle, std::string_view name) {
    const auto& analyzer = playbackAnalyzer();
    sendRequest(handle, [&](Packet& packet) { analyzer.makeStorageChangeRequest(packet, name); });
}

} // namespace ostrel
