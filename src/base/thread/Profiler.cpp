#include "base/thread/Profiler.h"

#include <ctime>

namespace ostrel {

Profiler::Profiler(std::string name) : _name(std::move(name)) { reset(); }

std::uint32_t Profiler::tick() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t milliseconds =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(milliseconds);
}

std::uint32_t Profiler::elapsedSince(std::uint32_t earlierTick) { return tick() - earlierTick; }

void Profiler::reset() {
    _startTick = _lastTick = tick();
    _minimumInterval = 0xFFFFFFFF;
    _maximumInterval = 0;
    _count = 0;
    _lastValue = 0;
    _minimumValue = 0xFFFFFFFF;
    _maximumValue = 0;
    _total = 0;
}

void Profiler::mark(std::int64_t value) {
    const std::uint32_t now = tick();
    const std::uint32_t interval = now - _lastTick;
    _lastTick = now;
    if (interval < _minimumInterval) {
        _minimumInterval = interval;
    }
    if (interval > _maximumInterval) {
        _maximumInterval = interval;
    }
    // The first mark sets both value bounds, so negative values (time running
    // backwards in a recording) do not leave the maximum at its initial 0.
    if (_count == 0 || value < _minimumValue) {
        _minimumValue = value;
    }
    if (_count == 0 || value > _maximumValue) {
        _maximumValue = value;
    }
    ++_count;
    _lastValue = value;
    _total += value;
}

double Profiler::averageInterval() const {
    return _count == 0 ? 0.0 : static_cast<double>(elapsed()) / _count;
}

double Profiler::averageValue() const {
    return _count == 0 ? 0.0 : static_cast<double>(_total) / _count;
}

} // namespace ostrel
