#include "ostrel-sitesim/FramePayload.h"

#include <algorithm>

namespace ostrel {

void FramePayload::pattern(uint8_t* out, size_t length) {
    constexpr uint64_t Golden = 0x9E3779B97F4A7C15ull;
    uint64_t state = PatternSeed;
    size_t i = 0;
    while (i < length) {
        state += Golden;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int b = 0; b < 8 && i < length; ++b, ++i) {
            out[i] = static_cast<uint8_t>(z >> (8 * b));
        }
    }
}

void FramePayload::stamp(uint8_t* out, size_t length, int channel, uint64_t mediaID, int64_t epochSeconds) {
    const uint64_t words[3] = {mediaID, static_cast<uint64_t>(epochSeconds), static_cast<uint64_t>(channel)};
    const size_t stamped = std::min(length, StampSize);
    for (size_t i = 0; i < stamped; ++i) {
        out[i] ^= static_cast<uint8_t>(words[i / 8] >> (8 * (i % 8)));
    }
}

void FramePayload::fill(uint8_t* out, size_t length, int channel, uint64_t mediaID, int64_t epochSeconds) {
    pattern(out, length);
    stamp(out, length, channel, mediaID, epochSeconds);
}

} // namespace ostrel
