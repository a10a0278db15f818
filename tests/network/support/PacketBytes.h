#pragma once

#include "network/protocol/Packet.h"

#include <cstdint>
#include <vector>

namespace ostrel::test {

// The bytes of a finished packet (from 0 to its limit).
inline std::vector<uint8_t> bytesOf(const Packet& packet) {
    std::vector<uint8_t> bytes(static_cast<size_t>(packet.limit()));
    for (int i = 0; i < packet.limit(); ++i) {
        bytes[static_cast<size_t>(i)] = packet.get(i);
    }
    return bytes;
}

// A packet holding exactly `bytes` (header included), as a session receives it.
inline Packet packetOf(const std::vector<uint8_t>& bytes) {
    Packet packet;
    packet.clear();
    packet.ByteBuffer::put(bytes.data(), static_cast<int>(bytes.size()));
    packet.flip();
    return packet;
}

// A received packet of `type` whose payload is `payload` (no padding added).
inline Packet packetWith(uint16_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> bytes = {0x06, 0x17, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
                                  static_cast<uint8_t>(payload.size() >> 24),
                                  static_cast<uint8_t>(payload.size() >> 16),
                                  static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return packetOf(bytes);
}

} // namespace ostrel::test
