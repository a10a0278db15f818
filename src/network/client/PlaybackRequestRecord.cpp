#include "network/client/PlaybackRequestRecord.h"

namespace ostrel {

PlaybackRequestRecord PlaybackRequestRecord::play(const PlayRequest& request) {
    PlaybackRequestRecord record;
    record._kind = Kind::Play;
    record._request = request;
    record._channels = request.channels();
    return record;
}

PlaybackRequestRecord PlaybackRequestRecord::jumpToPosition(const MediaPosition& position, uint64_t value) {
    PlaybackRequestRecord record;
    record._kind = Kind::JumpToPosition;
    record._position = position;
    record._value = value;
    return record;
}

PlaybackRequestRecord PlaybackRequestRecord::jumpToMediaID(uint32_t value, uint64_t mediaID,
                                                           const BitMask32& channels) {
    PlaybackRequestRecord record;
    record._kind = Kind::JumpToMediaID;
    record._mediaIDValue = value;
    record._value = mediaID;
    record._channels = channels;
    return record;
}

PlaybackRequestRecord PlaybackRequestRecord::jumpToNearPosition(const MediaPosition& position, const DateTime& time,
                                                                int value, const BitMask32& channels) {
    PlaybackRequestRecord record;
    record._kind = Kind::JumpToNearPosition;
    record._position = position;
    record._time = time;
    record._nearValue = value;
    record._channels = channels;
    return record;
}

uint32_t PlaybackRequestRecord::startedMode() const {
    return _kind == Kind::Play ? _request.mode() : PlayRequest::Jump;
}

int PlaybackRequestRecord::speed() const {
    if (_kind != Kind::Play || _request.mode() != PlayRequest::Play) {
        return 0;
    }
    const int speed = static_cast<int>(_request.speed());
    return _request.direction() == PlayRequest::Backward ? -speed : speed;
}

} // namespace ostrel
