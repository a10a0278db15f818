#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"

#include <cstdint>

namespace ostrel {

// A request that starts a playback: a play of a range, or one of the jumps.
// The playback state machine stores it while an earlier playback is being
// stopped and sends it once the site has confirmed the stop.
class PlaybackRequestRecord {
public:
    enum class Kind : int { Play = 0, JumpToPosition = 1, JumpToMediaID = 2, JumpToNearPosition = 3 };

    PlaybackRequestRecord() = default;

    static PlaybackRequestRecord play(const PlayRequest& request);
    static PlaybackRequestRecord jumpToPosition(const MediaPosition& position, uint64_t value);
    static PlaybackRequestRecord jumpToMediaID(uint32_t value, uint64_t mediaID, const BitMask32& channels);
    static PlaybackRequestRecord jumpToNearPosition(const MediaPosition& position, const DateTime& time, int value,
                                                    const BitMask32& channels);

    Kind kind() const { return _kind; }
    // Play: the request sent.
    const PlayRequest& request() const { return _request; }
    // JumpToPosition and JumpToNearPosition.
    const MediaPosition& position() const { return _position; }
    // JumpToPosition: the u64 sent; JumpToMediaID: the media ID.
    uint64_t value() const { return _value; }
    // JumpToMediaID: the u32 sent before the media ID.
    uint32_t mediaIDValue() const { return _mediaIDValue; }
    // JumpToNearPosition.
    const DateTime& time() const { return _time; }
    int nearValue() const { return _nearValue; }
    const BitMask32& channels() const { return _channels; }

    // The mode a started playback reports: the play request's mode, 3 for every jump.
    uint32_t startedMode() const;
    // The signed speed of frames of this request: a Play's speed, negated when it
    // plays backwards; 0 for every other request.
    int speed() const;

private:
    Kind _kind = Kind::Play;
    PlayRequest _request;
    MediaPosition _position;
    uint64_t _value = 0;
    uint32_t _mediaIDValue = 0;
    DateTime _time;
    int _nearValue = 0;
    BitMask32 _channels;
};

} // namespace ostrel
