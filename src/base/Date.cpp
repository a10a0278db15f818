#include "base/Date.h"

namespace ostrel {

Date::Date(int year, int month, int day)
    : _packed(static_cast<uint32_t>(year & 0xFFFF) << 16 | static_cast<uint32_t>(month & 0xFF) << 8 |
              static_cast<uint32_t>(day & 0xFF)) {}

void Date::toString(IFormatable& out) const { out.format("%d/%02d/%02d", year(), month(), day()); }

void Date::encode(uint8_t* out, ByteOrder order) const {
    storeShort(out, static_cast<uint16_t>(_packed >> 16), order);
    out[2] = static_cast<uint8_t>(_packed >> 8);
    out[3] = static_cast<uint8_t>(_packed);
}

void Date::decode(const uint8_t* in, ByteOrder order) {
    _packed = static_cast<uint32_t>(loadShort(in, order)) << 16 | static_cast<uint32_t>(in[2]) << 8 | in[3];
}

} // namespace ostrel
