#pragma once

#include "base/DateTime.h"
#include "base/Clock.h"

#include <atomic>
#include <cstdint>

namespace ostrel::test {

// A clock that moves only when the test says: the tick counter and, with it,
// the wall clock (from 2024/03/01 10:00:00 UTC), so that the time stamps of a
// storage and its group commit's waiting time follow the test.
class TestClock : public Clock {
public:
    // Local time is UTC here.
    DateTime now() const override { return nowUTC(); }
    DateTime nowUTC() const override {
        DateTime time(2024, 3, 1, 10, 0, 0);
        time.addSeconds(_milliseconds.load() / 1000);
        return time;
    }
    std::uint32_t tickCount() const override { return _milliseconds.load(); }

    void advance(std::uint32_t milliseconds) { _milliseconds += milliseconds; }

private:
    std::atomic<std::uint32_t> _milliseconds{1000};
};

} // namespace ostrel::test
