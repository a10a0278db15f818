#pragma once

#include "base/DateTime.h"

#include <cstdint>

namespace ostrel {

// Where a storage's time-stamp clock reads the wall clock and the
// millisecond tick counter. The system source is used unless a test puts
// another in place to move the wall clock.
class ClockSource {
public:
    virtual ~ClockSource() = default;

    // The current UTC time.
    virtual DateTime nowUTC() const;
    // Milliseconds of a monotonic clock, wrapping at 2^32.
    virtual std::uint32_t tickCount() const;

    static const ClockSource& system();
};

} // namespace ostrel
