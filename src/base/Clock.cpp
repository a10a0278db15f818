#include "base/Clock.h"

#include "base/thread/Profiler.h"

namespace ostrel {

DateTime Clock::now() const { return DateTime::now(); }

DateTime Clock::nowUTC() const { return DateTime::nowUTC(); }

uint32_t Clock::tickCount() const { return Profiler::tick(); }

const Clock& Clock::system() {
    static const Clock clock;
    return clock;
}

} // namespace ostrel
