#include "storage/pager/DirtyMask.h"

#include <algorithm>

namespace ostrel {

void DirtyMask::reset(std::size_t bits) {
    _bits = bits;
    if (_bytes.size() < byteCount()) {
        _bytes.resize(byteCount());
    }
    clear();
}

void DirtyMask::set(std::size_t bit) {
    if (bit < _bits) {
        _bytes[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
    }
}

void DirtyMask::setRange(std::size_t first, std::size_t last) {
    last = std::min(last, _bits == 0 ? 0 : _bits - 1);
    for (std::size_t bit = first; bit <= last && bit < _bits; ++bit) {
        set(bit);
    }
}

void DirtyMask::setAll() {
    if (_bits > 0) {
        setRange(0, _bits - 1);
    }
}

void DirtyMask::clear() { std::fill(_bytes.begin(), _bytes.begin() + byteCount(), 0); }

bool DirtyMask::test(std::size_t bit) const { return bit < _bits && (_bytes[bit / 8] >> (bit % 8)) & 1u; }

bool DirtyMask::isClean() const {
    return std::all_of(_bytes.begin(), _bytes.begin() + byteCount(), [](std::uint8_t b) { return b == 0; });
}

bool DirtyMask::isAllDirty() const {
    if (_bits == 0) {
        return false;
    }
    for (std::size_t bit = 0; bit < _bits; ++bit) {
        if (!test(bit)) {
            return false;
        }
    }
    return true;
}

std::string DirtyMask::toString() const {
    std::string text = "0b";
    for (std::size_t bit = 0; bit < _bits; ++bit) {
        text += test(bit) ? '1' : '0';
    }
    return text;
}

} // namespace ostrel
