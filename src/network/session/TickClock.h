#pragma once

#include <cstdint>

namespace ostrel {

// A millisecond tick counter; differences are taken modulo 2^32 (later minus
// earlier). The alive check measures silence with it, so tests can drive the
// time instead of waiting minutes.
class TickClock {
public:
    virtual ~TickClock() = default;
    virtual uint32_t ticks() const = 0;

    // The monotonic system clock.
    static const TickClock& system();
};

} // namespace ostrel
