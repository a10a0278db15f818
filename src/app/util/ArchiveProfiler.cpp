#include "app/util/ArchiveProfiler.h"

#include "base/Assert.h"
#include "base/Trace.h"

namespace ostrel {

ArchiveProfiler::ArchiveProfiler(const Clock& clock) : _clock(clock), _startTick(clock.tickCount()) {}

void ArchiveProfiler::start() {
    {
        Mutex::ScopedLock lock(_mutex);
        _profiler.reset();
        _startTick = _clock.tickCount();
    }
    _running.store(true);
}

void ArchiveProfiler::stop() { _running.store(false); }

void ArchiveProfiler::restartWindow() {
    Mutex::ScopedLock lock(_mutex);
    _profiler.reset();
    _startTick = _clock.tickCount();
}

void ArchiveProfiler::add(int64_t seconds) {
    Mutex::ScopedLock lock(_mutex);
    _profiler.mark(seconds);
}

uint32_t ArchiveProfiler::elapsed() const {
    Mutex::ScopedLock lock(_mutex);
    return _clock.elapsedSince(_startTick);
}

int ArchiveProfiler::archiveSpeed() const {
    Mutex::ScopedLock lock(_mutex);
    const double total = static_cast<double>(_profiler.total());
    const uint32_t elapsed = _clock.elapsedSince(_startTick);
    // An empty window has kept up with nothing; a window of no time with
    // something archived has kept up.
    const double ratio = elapsed == 0 ? (total > 0 ? 1.0 : 0.0) : total * 1000.0 / elapsed;
    trace("ArchiveProfiler::archiveSpeed : %.2f", ratio);
    return ratio >= 1.0 ? SpeedGood : SpeedBad;
}

int16_t ArchiveProfiler::parseArchiveSpeed(int speed) {
    switch (speed) {
    case SpeedNone:
    case SpeedBad:
    case SpeedGood:
        return static_cast<int16_t>(speed);
    default:
        OSTREL_ASSERT(false);
        return 0;
    }
}

} // namespace ostrel
