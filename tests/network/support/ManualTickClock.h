#pragma once

#include "network/session/TickClock.h"

#include <atomic>

namespace ostrel::test {

// A tick clock that moves only when the test says so.
class ManualTickClock : public TickClock {
public:
    explicit ManualTickClock(uint32_t start = 5000) : _ticks(start) {}
    uint32_t ticks() const override { return _ticks.load(); }
    void advance(uint32_t milliseconds) { _ticks.fetch_add(milliseconds); }

private:
    std::atomic<uint32_t> _ticks;
};

} // namespace ostrel::test
