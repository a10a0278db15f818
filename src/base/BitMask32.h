#pragma once

#include "base/IComparable.h"
#include "base/IStringConvertable.h"

#include <cstdint>

namespace ostrel {

// A set of channels 0-31 in one 32-bit word: bit n stands for channel n.
class BitMask32 : public IComparable<BitMask32>, public IStringConvertable {
public:
    static constexpr uint32_t AllBits = 0xFFFFFFFF;

    // An empty mask.
    BitMask32() = default;
    explicit BitMask32(uint32_t word) : _word(word) {}

    uint32_t word() const { return _word; }
    bool isEmpty() const { return _word == 0; }

    // Sets every channel.
    BitMask32& all() {
        _word = AllBits;
        return *this;
    }
    // Channel n mod 32 is in the mask.
    bool test(int n) const { return (_word >> bitIndex(n)) & 1u; }
    BitMask32& set(int n) {
        _word |= 1u << bitIndex(n);
        return *this;
    }
    BitMask32& clear(int n) {
        _word &= ~(1u << bitIndex(n));
        return *this;
    }
    // Adds the other mask's channels (OR of the words).
    BitMask32& merge(const BitMask32& other) {
        _word |= other._word;
        return *this;
    }

    // The words compared as unsigned numbers.
    bool equals(const BitMask32& other) const override { return _word == other._word; }
    bool lessThan(const BitMask32& other) const override { return _word < other._word; }
    bool greaterThan(const BitMask32& other) const override { return _word > other._word; }

    using IStringConvertable::toString;
    // "0b" and 32 characters '1' or '0', bit 31 first.
    void toString(IFormatable& out) const override;

private:
    static unsigned bitIndex(int n) { return static_cast<unsigned>(n) % 32u; }

    uint32_t _word = 0;
};

} // namespace ostrel
