#include "network/client/NetworkPlaybackClient.h"

#include "base/Date.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/protocol/playback/EventListRequest.h"

#include <charconv>

namespace ostrel {
namespace {

const Date CalendarFrom(1900, 1, 1);
const Date CalendarTo(2100, 12, 31);

// The leading decimal number of a version part; 0 when it has none.
int partNumber(std::string_view part) {
    int value = 0;
    std::from_chars(part.data(), part.data() + part.size(), value);
    return value;
}

} // namespace

NetworkPlaybackClient::NetworkPlaybackClient(std::shared_ptr<NetworkPlaybackContext> context)
    : _context(context ? std::move(context) : NetworkPlaybackContext::shared()) {}

NetworkPlaybackClient::~NetworkPlaybackClient() { shutdown(); }

void NetworkPlaybackClient::start(int bufferSize, IPlaybackClientListener* listener) {
    if (_started) {
        throw Exception("Exception", 0, std::string("The playback client is already started."));
    }
    attachQueue(_context->mediaDispatcher(), bufferSize, listener);
    _started = true;
}

void NetworkPlaybackClient::shutdown() {
    if (_shutDown) {
        return;
    }
    _shutDown = true;
    // Unregistering closes the queue, which releases a network thread waiting for
    // room in it; leaving the context then waits until that thread has let go.
    detachQueue();
    _context->removeClient(*this);
    releaseQueue();
}

int NetworkPlaybackClient::connect(std::string_view address, uint16_t port, std::string_view user,
                                   std::string_view password) {
    setQueueInUse(true);
    return _context->connectClient(*this, address, port, user, password);
}

void NetworkPlaybackClient::disconnect(bool byRequest) {
    if (hasSession()) {
        _context->disconnectClient(*this, byRequest);
    }
}

bool NetworkPlaybackClient::isConnected() const { return _context->isClientConnected(*this); }

// ---- requests ----------------------------------------------------------------------------------

void NetworkPlaybackClient::requestRecordingCalendar() {
    if (hasSession()) {
        _context->sendRecordingCalendarRequest(handle(), CalendarFrom, CalendarTo);
    }
}

void NetworkPlaybackClient::requestRecordingTimeTable(const Interval& range, const BitMask32& channels) {
    if (hasSession()) {
        _context->sendRecordingTimeTableRequest(handle(), range, channels);
    }
}

void NetworkPlaybackClient::requestSectionList(const Interval& range, const BitMask32& channels) {
    if (hasSession()) {
        _context->sendSectionListRequest(handle(), range, channels);
    }
}

void NetworkPlaybackClient::requestEventList(const EventListRequest& request) {
    if (hasSession()) {
        _context->sendEventListRequest(handle(), request);
    }
}

void NetworkPlaybackClient::requestEventListContinue(uint32_t count, bool flag) {
    if (hasSession()) {
        _context->sendEventListContinueRequest(handle(), count, flag);
    }
}

void NetworkPlaybackClient::requestEventCalendar() {
    if (hasSession()) {
        _context->sendEventCalendarRequest(handle(), CalendarFrom, CalendarTo, false);
    }
}

void NetworkPlaybackClient::requestTextInEventCalendar() {
    if (hasSession()) {
        _context->sendEventCalendarRequest(handle(), CalendarFrom, CalendarTo, true);
    }
}

void NetworkPlaybackClient::requestTextInEventList(const Interval& range, const std::vector<std::string>& keywords,
                                                   bool flag, uint32_t count) {
    if (hasSession()) {
        _context->sendTextInEventListRequest(handle(), range, keywords, flag, count);
    }
}

void NetworkPlaybackClient::requestTextInEventListContinue(uint32_t count, bool flag) {
    if (hasSession()) {
        _context->sendTextInEventListContinueRequest(handle(), count, flag);
    }
}

void NetworkPlaybackClient::requestPlaybackInterval(const Interval& range) {
    if (hasSession()) {
        _context->sendPlaybackIntervalRequest(handle(), range);
    }
}

void NetworkPlaybackClient::requestStorageList() {
    if (hasSession() && supportsStorages(productInfo().version())) {
        _context->sendStorageListRequest(handle(), false);
    }
}

void NetworkPlaybackClient::changeStorage(std::string_view name) {
    if (!hasSession()) {
        return;
    }
    stateMachine().storageChange();
    _context->sendStorageChangeRequest(handle(), name);
}

void NetworkPlaybackClient::requestGSensorInfo(const Interval& /*range*/, const BitMask32& /*channels*/) {
    trace("Remote GSensorInfo Request not implemented\n");
}

bool NetworkPlaybackClient::supportsStorages(std::string_view version) {
    std::vector<std::string_view> parts;
    while (!version.empty()) {
        const auto dot = version.find('.');
        parts.push_back(version.substr(0, dot));
        version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
    }
    if (parts.empty()) {
        return false;
    }
    // A version of one part is read as "<major>.0". Versions compare by major
    // number first: 0.9 is older than 1.2, whatever its minor number.
    const int major = partNumber(parts[0]);
    const int minor = parts.size() > 1 ? partNumber(parts[1]) : 0;
    return major > 1 || (major == 1 && minor >= 2);
}

// ---- PlaybackClient -----------------------------------------------------------------------------

void NetworkPlaybackClient::sendPlayRequest(const PlaybackRequestRecord& request) {
    if (!hasSession()) {
        return;
    }
    switch (request.kind()) {
    case PlaybackRequestRecord::Kind::Play:
        _context->sendPlayRequest(handle(), request.request());
        break;
    case PlaybackRequestRecord::Kind::JumpToPosition:
        _context->sendJumpToPositionRequest(handle(), request.position(), request.value());
        break;
    case PlaybackRequestRecord::Kind::JumpToMediaID:
        _context->sendJumpToMediaIDRequest(handle(), request.mediaIDValue(), request.value(), request.channels());
        break;
    case PlaybackRequestRecord::Kind::JumpToNearPosition:
        _context->sendJumpToNearPositionRequest(handle(), request.position(), request.time(), request.nearValue(),
                                                request.channels());
        break;
    }
}

void NetworkPlaybackClient::sendPauseRequest(const MediaPosition& position) {
    if (hasSession()) {
        _context->sendPauseRequest(handle(), position);
    }
}

// ---- session callbacks -------------------------------------------------------------------------

void NetworkPlaybackClient::loginSucceeded() {
    clearLastPosition();
    stateMachine().connected();
    if (listener() != nullptr) {
        listener()->playbackConnected(handle());
    }
}

void NetworkPlaybackClient::disconnected(int reason) {
    // A client that never logged in has nothing worth delivering; one that did
    // keeps its queued frames, which still reach the listener.
    if (!isConnected()) {
        clearQueue();
    }
    stateMachine().disconnected();
    // Frames still queued are delivered; then the queue's memory goes.
    setQueueInUse(false);
    if (listener() != nullptr) {
        listener()->playbackDisconnected(handle(), reason);
    }
}

void NetworkPlaybackClient::remoteSystemInfoReceived(const RemoteSystemInfo& info) {
    setRemoteSystemInfo(info);
    if (listener() != nullptr) {
        listener()->playbackRemoteSystemInfoReceived(handle(), info);
    }
}

void NetworkPlaybackClient::productInfoReceived(const ProductInfo& info) { setProductInfo(info); }

void NetworkPlaybackClient::recordingCalendarReceived(const std::set<Date>& /*dates*/) {}

void NetworkPlaybackClient::recordingTimeTableReceived(const std::vector<RecordingTimeTableEntry>& list) {
    if (listener() != nullptr) {
        listener()->playbackRecordingTimeTableReceived(handle(), list);
    }
}

void NetworkPlaybackClient::sectionListReceived(const BitMask32& channels, const Interval& range,
                                                const std::vector<uint32_t>& sectionIDs) {
    if (listener() != nullptr) {
        listener()->playbackRecordingSectionListReceived(handle(), channels, range, sectionIDs);
    }
}

void NetworkPlaybackClient::textInFrameReceived(const TextInFrame& frame, const MediaPosition& position) {
    if (stateMachine().takesTextIn()) {
        queueTextIn(frame, position);
    }
}

void NetworkPlaybackClient::mediaFrameReceived(const MediaFrame& frame, bool flag, const MediaPosition& position) {
    stateMachine().frame(frame, flag, position);
}

void NetworkPlaybackClient::playbackStoppedReceived(uint32_t reason) { stateMachine().stopped(reason); }

void NetworkPlaybackClient::eventCalendarReceived(const std::set<Date>& /*dates*/) {}

void NetworkPlaybackClient::eventListReceived(const std::vector<EventListEntry>& list) {
    if (listener() != nullptr) {
        listener()->playbackEventListReceived(handle(), list);
    }
}

void NetworkPlaybackClient::textInEventListReceived(const std::vector<TextInEventListEntry>& /*list*/) {}

void NetworkPlaybackClient::storageListReceived(const std::vector<StorageListEntry>& /*list*/) {}

void NetworkPlaybackClient::storageChanged() { stateMachine().storageChanged(); }

} // namespace ostrel
