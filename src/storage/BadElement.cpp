#include "storage/BadElement.h"

namespace ostrel {

void BadElement::encode(std::uint8_t* out, ByteOrder order) const {
    for (int i = 0; i < 4; ++i) {
        const int shift = order == BigEndian ? 24 - 8 * i : 8 * i;
        out[i] = static_cast<std::uint8_t>(_page >> shift);
    }
}

void BadElement::decode(const std::uint8_t* in, ByteOrder order) {
    _page = 0;
    for (int i = 0; i < 4; ++i) {
        const int shift = order == BigEndian ? 24 - 8 * i : 8 * i;
        _page |= std::uint32_t{in[i]} << shift;
    }
}

} // namespace ostrel
