#pragma once

#include "base/DateTime.h"

#include <cstdint>

namespace ostrel {

// Where the time of the scheduling code comes from: the wall clock (local and
// UTC) and a millisecond tick counter. Everything that waits for a due time
// (the action loops, the schedules' delays, the archive speed profiler) reads
// time through a Clock given at construction, so tests move time forward
// instead of sleeping. system() is the real clock.
class Clock {
public:
    virtual ~Clock() = default;

    // The local wall-clock time with the local zone's offset.
    virtual DateTime now() const;
    // The current UTC time with offset 0.
    virtual DateTime nowUTC() const;
    // Milliseconds of a monotonic clock, truncated to 32 bits (wraps after about
    // 49.7 days; only differences are meaningful).
    virtual uint32_t tickCount() const;

    // Milliseconds from `earlierTick` to now, modulo 2^32.
    uint32_t elapsedSince(uint32_t earlierTick) const { return tickCount() - earlierTick; }

    // The process-wide real clock.
    static const Clock& system();
};

} // namespace ostrel
