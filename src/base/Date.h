#pragma once

#include "base/FixedSerializable.h"
#include "base/IComparable.h"
#include "base/IStringConvertable.h"

#include <cstdint>

namespace ostrel {

// A calendar date packed into one 32-bit word: year << 16 | month << 8 | day.
// The word is stored as it is in storage pages and database rows, so its layout
// never changes. 0xFFFFFFFF marks an unset date; it orders after every real date.
class Date : public IComparable<Date>, public IStringConvertable, public FixedSerializable {
public:
    static constexpr uint32_t Unset = 0xFFFFFFFF;

    // An unset date.
    Date() = default;
    // Packs the fields without checking them; each is cut to its width
    // (16 bits of year, 8 of month and day) so one field never spills into another.
    Date(int year, int month, int day);
    // Takes a packed word unchanged.
    explicit Date(uint32_t packed) : _packed(packed) {}

    int year() const { return static_cast<int>(_packed >> 16); }
    int month() const { return static_cast<int>((_packed >> 8) & 0xFF); }
    int day() const { return static_cast<int>(_packed & 0xFF); }
    uint32_t packed() const { return _packed; }
    bool isSet() const { return _packed != Unset; }

    // The packed words compared as unsigned numbers.
    bool equals(const Date& other) const override { return _packed == other._packed; }
    bool lessThan(const Date& other) const override { return _packed < other._packed; }
    bool greaterThan(const Date& other) const override { return _packed > other._packed; }

    using IStringConvertable::toString;
    // "%d/%02d/%02d": year, month, day.
    void toString(IFormatable& out) const override;

    // 4 bytes: the year as a 16-bit integer in the buffer's byte order, then month, then day.
    int size() const override { return 4; }
    void encode(uint8_t* out, ByteOrder order) const override;
    void decode(const uint8_t* in, ByteOrder order) override;

private:
    uint32_t _packed = Unset;
};

} // namespace ostrel
