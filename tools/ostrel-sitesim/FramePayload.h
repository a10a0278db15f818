#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// The deterministic bytes of a simulated frame, so a test can tell the exact
// payload every frame must carry, and a site can produce them at the speed
// of a memory copy.
//
// Every payload is the start of one common pattern with the frame's stamp
// laid over its first StampSize bytes:
// - the pattern is the output of a splitmix64 generator seeded with
//   PatternSeed: for each 8 bytes the state grows by 0x9E3779B97F4A7C15 and
//   is mixed into z; the bytes are z's, lowest first;
// - the stamp is mediaID, epochSeconds and channel as three unsigned 64-bit
//   numbers, lowest byte first, each byte XORed into the pattern byte at its
//   place (cut off with a payload shorter than the stamp).
// The stamp tells frames apart; the pattern, which never repeats within a
// payload, makes a shifted, cut or mixed-up payload show.
class FramePayload {
public:
    static constexpr size_t StampSize = 24;
    static constexpr uint64_t PatternSeed = 0x5349544553494D31ull;

    // The pattern's first `length` bytes.
    static void pattern(uint8_t* out, size_t length);
    // Lays the frame's stamp over the first bytes of a copy of the pattern.
    static void stamp(uint8_t* out, size_t length, int channel, uint64_t mediaID, int64_t epochSeconds);
    // The whole payload: pattern, then stamp.
    static void fill(uint8_t* out, size_t length, int channel, uint64_t mediaID, int64_t epochSeconds);
};

} // namespace ostrel
