#pragma once

#include "base/DateTime.h"
#include "network/protocol/playback/MediaPosition.h"

#include <cstdint>

namespace ostrel {

// Where archiving of a site stands: the last archived video frame, both at the
// site (its MediaPosition) and locally (the recording section and media ID the
// storage gave it), with the frame's time. Archiving continues from here after
// a pause, a failure or a restart. Valid once the time is set.
struct ResumeRecord {
    MediaPosition position;
    uint32_t sectionID = 0;
    DateTime time;
    uint64_t mediaID = 0;

    bool isValid() const { return time.isSet(); }
};

} // namespace ostrel
