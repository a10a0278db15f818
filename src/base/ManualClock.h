#pragma once

#include "base/Clock.h"

#include <cstdint>
#include <mutex>

namespace ostrel {

// A clock that moves only when told: tests set it and advance it, and every
// actor, loop and schedule built on it sees the new time at its next look.
// Local time and UTC are the same here (offset 0). Safe to use from any thread.
class ManualClock : public Clock {
public:
    // Starts at `start` with tick 0.
    explicit ManualClock(const DateTime& start = DateTime(2024, 1, 1, 0, 0, 0));

    DateTime now() const override;
    DateTime nowUTC() const override;
    uint32_t tickCount() const override;

    // Sets the wall clock; the tick counter is left alone.
    void set(const DateTime& time);
    // Moves both the wall clock and the tick counter forward.
    void advanceSeconds(int64_t seconds);
    void advanceMilliseconds(int64_t milliseconds);

private:
    mutable std::mutex _mutex;
    // Wall clock as epoch milliseconds (fields read as UTC), so that
    // sub-second advances add up.
    int64_t _epochMilliseconds = 0;
    uint32_t _tick = 0;
};

} // namespace ostrel
