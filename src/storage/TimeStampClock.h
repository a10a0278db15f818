#pragma once

#include "base/DateTime.h"
#include "base/Clock.h"

#include <cstdint>

namespace ostrel {

// Counts a storage's time stamp in whole seconds from the monotonic tick
// counter, so that the stamp never jumps with the wall clock, and notices
// when the wall clock moved away from the time the clock believes it is.
class TimeStampClock {
public:
    explicit TimeStampClock(const Clock* source = &Clock::system()) : _source(source) {}

    void setSource(const Clock* source) { _source = source; }
    const Clock& source() const { return *_source; }

    // Starts counting at `stamp`; the wall clock may run up to `tolerance`
    // seconds ahead before a jump is reported.
    void start(std::uint32_t stamp, std::uint32_t tolerance);
    void stop() { _running = false; }
    bool isRunning() const { return _running; }

    // Brings the stamp up to date with the ticks elapsed; `jumped` tells
    // whether the wall clock moved (the clock time then restarts from it).
    std::uint32_t update(bool& jumped);

    const DateTime& clockTime() const { return _clockTime; }
    std::uint32_t stamp() const { return _stamp; }

private:
    const Clock* _source;
    std::uint32_t _tolerance = 1;
    DateTime _clockTime;
    std::uint32_t _remainder = 0;
    std::uint32_t _stamp = 0;
    std::uint32_t _lastTick = 0;
    bool _running = false;
};

} // namespace ostrel
