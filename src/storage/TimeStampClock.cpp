#include "storage/TimeStampClock.h"

#include "base/Exception.h"

namespace ostrel {

void TimeStampClock::start(std::uint32_t stamp, std::uint32_t tolerance) {
    _stamp = stamp;
    _tolerance = tolerance;
    _remainder = 0;
    _clockTime = _source->nowUTC();
    _lastTick = _source->tickCount();
    _running = true;
}

std::uint32_t TimeStampClock::update(bool& jumped) {
    jumped = false;
    if (!_running) {
        return _stamp;
    }
    const std::uint32_t tick = _source->tickCount();
    const std::uint64_t total = std::uint64_t{static_cast<std::uint32_t>(tick - _lastTick)} + _remainder;
    const std::uint64_t seconds = total / 1000;
    _stamp += static_cast<std::uint32_t>(seconds);
    _remainder = static_cast<std::uint32_t>(total % 1000);
    _lastTick = tick;
    const DateTime now = _source->nowUTC();
    try {
        _clockTime.addSeconds(static_cast<std::int64_t>(seconds));
        const std::int64_t ahead = DateTime::secondsBetween(now, _clockTime);
        jumped = ahead < 0 || ahead > static_cast<std::int64_t>(_tolerance);
    } catch (const Exception&) {
        // A clock time the calendar cannot hold: start again from the wall clock.
        jumped = true;
    }
    if (jumped) {
        _clockTime = now;
        _remainder = 0;
    }
    return _stamp;
}

} // namespace ostrel
