#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// A bit array: bit i is bit (i mod 8), least significant first, of byte i / 8.
// It knows how many of its bits are in use, so a mask whose block count is not
// a multiple of 8 is still "all dirty" when every block is.
class DirtyMask {
public:
    // Resizes to `bits` bits, all clear; the byte array is reused when large enough.
    void reset(std::size_t bits);
    std::size_t bitCount() const { return _bits; }
    std::size_t byteCount() const { return (_bits + 7) / 8; }

    void set(std::size_t bit);
    // Sets bits first .. last (inclusive).
    void setRange(std::size_t first, std::size_t last);
    void setAll();
    void clear();
    bool test(std::size_t bit) const;
    bool isClean() const;
    bool isAllDirty() const;
    const std::uint8_t* bytes() const { return _bytes.data(); }

    // "0b" followed by one '1' or '0' per bit, bit 0 first.
    std::string toString() const;

private:
    std::vector<std::uint8_t> _bytes;
    std::size_t _bits = 0;
};

} // namespace ostrel
