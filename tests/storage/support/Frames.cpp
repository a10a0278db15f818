#include "storage/support/Frames.h"

#include <string>

namespace ostrel::test {

std::vector<std::uint8_t> Frames::pattern(std::uint32_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::uint32_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

MediaElement Frames::make(std::uint16_t type, int channel, std::uint32_t gopID, std::uint16_t frameIndex,
                          const DateTime& time, std::vector<std::uint8_t> payload) {
    _payloads.push_back(std::move(payload));
    const std::vector<std::uint8_t>& bytes = _payloads.back();
    MediaElement frame;
    frame.setMediaType(type);
    frame.setChannelMask(BitMask32().set(channel));
    frame.setGopID(gopID);
    frame.setFrameIndex(frameIndex);
    frame.setDateTime(time);
    frame.setDataSize(static_cast<std::uint32_t>(bytes.size()));
    frame.setExtraSize(0);
    frame.setPayload(bytes.data());
    return frame;
}

MediaElement Frames::video(int channel, std::uint32_t gopID, std::uint16_t frameIndex, const DateTime& time,
                           std::uint32_t size, std::uint32_t seed) {
    return make(0, channel, gopID, frameIndex, time, pattern(size, seed));
}

MediaElement Frames::audio(int channel, std::uint16_t frameIndex, const DateTime& time, std::uint32_t size,
                           std::uint32_t seed) {
    MediaElement frame = make(1, channel, 0, frameIndex, time, pattern(size, seed));
    frame.setLinkedChannelMask(BitMask32().set(channel));
    return frame;
}

MediaElement Frames::textIn(int channel, const DateTime& time, const std::string& text) {
    std::vector<std::uint8_t> bytes(64, 0);
    for (std::size_t i = 0; i < text.size() && i < 63; ++i) {
        bytes[i] = static_cast<std::uint8_t>(text[i]);
    }
    return make(3, channel, 0, 0, time, std::move(bytes));
}

DateTime at(std::int64_t seconds) {
    DateTime time(2024, 3, 1, 10, 0, 0);
    time.addSeconds(seconds);
    return time;
}

} // namespace ostrel::test
