#pragma once

#include "base/DateTime.h"
#include "network/protocol/playback/MediaPosition.h"

#include <cstdint>

namespace ostrel {

// One thing a simulated site has recorded: a video frame, an audio frame or
// a text-in record, with its place in the recording.
//
// Its MediaPosition is (section ID, second, slot): the second counted from
// the section's first second, and the slot numbering everything recorded in
// that second: tick k (0 to frameRate - 1) holds the video frames of channels
// 0 to V - 1 at slots k * (V + A) + c, then the audio frames of channels 0 to
// A - 1 at k * (V + A) + V + a; the text-in of rule r sits at slot
// frameRate * (V + A) + r. Its media ID is (section ID << 40) + second *
// slotsPerSecond + slot, where slotsPerSecond = frameRate * (V + A) + the
// number of text-in rules.
struct RecordingItem {
    enum class Kind { Video, Audio, TextIn };

    Kind kind = Kind::Video;
    uint32_t sectionID = 0;
    uint32_t second = 0;
    uint32_t slot = 0;
    // The video or audio channel; for a text-in, the video channel it belongs to.
    int channel = 0;
    int tick = 0;
    // The text-in rule (text-in records only).
    int rule = -1;
    int64_t epochSeconds = 0;
    uint64_t mediaID = 0;

    MediaPosition position() const { return MediaPosition(sectionID, second, slot); }
    DateTime time() const { return DateTime::fromEpochSeconds(epochSeconds); }
};

} // namespace ostrel
