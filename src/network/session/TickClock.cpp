#include "network/session/TickClock.h"

#include <ctime>

namespace ostrel {
namespace {

class MonotonicClock : public TickClock {
public:
    uint32_t ticks() const override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                     static_cast<uint64_t>(now.tv_nsec) / 1000000u);
    }
};

} // namespace

const TickClock& TickClock::system() {
    static const MonotonicClock clock;
    return clock;
}

} // namespace ostrel
