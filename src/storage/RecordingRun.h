#pragma once

#include "base/BitMask32.h"
#include "base/Interval.h"

#include <cstdint>

namespace ostrel {

// One run of continuous recording of a set of channels inside a recording section.
struct RecordingRun {
    std::uint32_t sectionID = 0;
    Interval interval;
    BitMask32 mask;
};

} // namespace ostrel
