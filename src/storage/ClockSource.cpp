#include "storage/ClockSource.h"

#include <time.h>

namespace ostrel {

DateTime ClockSource::nowUTC() const { return DateTime::nowUTC(); }

std::uint32_t ClockSource::tickCount() const {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

const ClockSource& ClockSource::system() {
    static const ClockSource source;
    return source;
}

} // namespace ostrel
