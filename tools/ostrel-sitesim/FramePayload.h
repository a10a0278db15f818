#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// The deterministic bytes of a simulated frame, so a test can tell the exact
// payload every frame must carry. The bytes are the output of a splitmix64
// generator seeded with
//     mediaID ^ (channel << 56) ^ (epochSeconds * 0x9E3779B97F4A7C15)
// (all unsigned 64-bit arithmetic): for each 8 bytes the state grows by
// 0x9E3779B97F4A7C15 and is mixed into z; the bytes are z's, lowest first.
class FramePayload {
public:
    static void fill(uint8_t* out, size_t length, int channel, uint64_t mediaID, int64_t epochSeconds);
};

} // namespace ostrel
