#include "storage/pager/TrackListItem.h"

namespace ostrel {
namespace {

void putBig(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t getBig(const std::uint8_t* in) {
    return std::uint32_t{in[0]} << 24 | std::uint32_t{in[1]} << 16 | std::uint32_t{in[2]} << 8 | in[3];
}

} // namespace

void TrackListItem::encode(std::uint8_t* out) const {
    _type.encode(out, BigEndian);
    putBig(out + 4, _mask.word());
    putBig(out + 8, _firstPage);
    putBig(out + 12, _lastPage);
    putBig(out + 16, _firstChecksum);
    putBig(out + 20, _lastChecksum);
}

void TrackListItem::decode(const std::uint8_t* in) {
    _type.decode(in, BigEndian);
    _mask = BitMask32(getBig(in + 4));
    _firstPage = getBig(in + 8);
    _lastPage = getBig(in + 12);
    _firstChecksum = getBig(in + 16);
    _lastChecksum = getBig(in + 20);
}

} // namespace ostrel
