#pragma once

#include "base/DateTime.h"
#include "storage/MediaElement.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ostrel::test {

// Builds media frames for storage tests and keeps their payload bytes alive
// (a MediaElement only points at its payload). The payload of a frame is a
// pattern derived from `seed`, so it can be recognised when read back.
class Frames {
public:
    static std::vector<std::uint8_t> pattern(std::uint32_t size, std::uint32_t seed);

    MediaElement video(int channel, std::uint32_t gopID, std::uint16_t frameIndex, const DateTime& time,
                       std::uint32_t size, std::uint32_t seed = 0);
    MediaElement audio(int channel, std::uint16_t frameIndex, const DateTime& time, std::uint32_t size,
                       std::uint32_t seed = 0);
    MediaElement textIn(int channel, const DateTime& time, const std::string& text);

private:
    MediaElement make(std::uint16_t type, int channel, std::uint32_t gopID, std::uint16_t frameIndex,
                      const DateTime& time, std::vector<std::uint8_t> payload);

    std::deque<std::vector<std::uint8_t>> _payloads;
};

// 2024/03/01 10:00:00 plus `seconds`.
DateTime at(std::int64_t seconds);

} // namespace ostrel::test
