#include "base/ManualClock.h"

namespace ostrel {

ManualClock::ManualClock(const DateTime& start) : _epochMilliseconds(start.epochSeconds() * 1000) {}

DateTime ManualClock::now() const {
    std::lock_guard lock(_mutex);
    int64_t seconds = _epochMilliseconds / 1000;
    if (_epochMilliseconds < 0 && _epochMilliseconds % 1000 != 0) {
        --seconds;
    }
    return DateTime::fromEpochSeconds(seconds);
}

DateTime ManualClock::nowUTC() const { return now(); }

uint32_t ManualClock::tickCount() const {
    std::lock_guard lock(_mutex);
    return _tick;
}

void ManualClock::set(const DateTime& time) {
    const int64_t milliseconds = time.epochSeconds() * 1000;
    std::lock_guard lock(_mutex);
    _epochMilliseconds = milliseconds;
}

void ManualClock::advanceSeconds(int64_t seconds) { advanceMilliseconds(seconds * 1000); }

void ManualClock::advanceMilliseconds(int64_t milliseconds) {
    std::lock_guard lock(_mutex);
    _epochMilliseconds += milliseconds;
    _tick += static_cast<uint32_t>(milliseconds);
}

} // namespace ostrel
