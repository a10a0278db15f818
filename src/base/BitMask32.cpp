#include "base/BitMask32.h"

namespace ostrel {

void BitMask32::toString(IFormatable& out) const {
    char digits[33];
    for (int bit = 31; bit >= 0; --bit) {
        digits[31 - bit] = (_word >> bit) & 1u ? '1' : '0';
    }
    digits[32] = '\0';
    out.format("0b%s", digits);
}

} // namespace ostrel
