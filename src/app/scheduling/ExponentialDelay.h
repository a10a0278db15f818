#pragma once

#include <cstdint>

namespace ostrel {

// Growing waiting times for retries: each next() answers the current delay and
// multiplies it by the factor for the following call, never beyond the maximum.
// (1, 2, 1800) gives 1, 2, 4, ..., 1024, 1800, 1800, ...
class ExponentialDelay {
public:
    ExponentialDelay() = default;
    virtual ~ExponentialDelay() = default;

    void init(int32_t initial, int32_t factor, int32_t maximum);
    // The next call answers the initial delay again.
    void reset() { _current = _initial; }
    int32_t next();

    int32_t initial() const { return _initial; }
    int32_t factor() const { return _factor; }
    int32_t current() const { return _current; }
    int32_t maximum() const { return _maximum; }

private:
    int32_t _initial = 0;
    int32_t _factor = 0;
    int32_t _current = 0;
    int32_t _maximum = 0;
};

} // namespace ostrel
