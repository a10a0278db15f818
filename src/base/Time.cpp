#include "base/Time.h"

namespace ostrel {

Time::Time(int hour, int minute, int second, int offsetSeconds)
    : _packed(static_cast<uint32_t>(static_cast<uint8_t>(offsetSeconds / SecondsPerZoneStep)) << 24 |
              static_cast<uint32_t>(hour & 0xFF) << 16 | static_cast<uint32_t>(minute & 0xFF) << 8 |
              static_cast<uint32_t>(second & 0xFF)) {}

void Time::toString(IFormatable& out) const { out.format("%02d:%02d:%02d", hour(), minute(), second()); }

void Time::encode(uint8_t* out, ByteOrder) const {
    out[0] = static_cast<uint8_t>(_packed >> 24);
    out[1] = static_cast<uint8_t>(_packed >> 16);
    out[2] = static_cast<uint8_t>(_packed >> 8);
    out[3] = static_cast<uint8_t>(_packed);
}

void Time::decode(const uint8_t* in, ByteOrder) {
    _packed = static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
              static_cast<uint32_t>(in[2]) << 8 | in[3];
}

} // namespace ostrel
