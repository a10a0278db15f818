#include "app/scheduling/ExponentialDelay.h"

#include <cstdint>

namespace ostrel {

void ExponentialDelay::init(int32_t initial, int32_t factor, int32_t maximum) {
    _initial = initial;
    _current = initial;
    _factor = factor;
    _maximum = maximum;
}

int32_t ExponentialDelay::next() {
    const int32_t delay = _current;
    // Widened so that a long run of retries never overflows into a small delay.
    const int64_t grown = int64_t{_current} * _factor;
    _current = grown > _maximum ? _maximum : static_cast<int32_t>(grown);
    return delay;
}

} // namespace ostrel
