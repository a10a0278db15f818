#pragma once

#include "base/FixedSerializable.h"
#include "base/IComparable.h"
#include "base/IStringConvertable.h"

#include <cstdint>

namespace ostrel {

// A time of day with its zone, packed into one 32-bit word:
// zone << 24 | hour << 16 | minute << 8 | second, where the zone is a signed
// byte of quarter hours east of UTC. The word is stored as it is in storage
// pages and database rows. 0xFFFFFFFF marks an unset time.
//
// The zone takes no part in comparisons: two times that differ only in their
// zone are equal.
class Time : public IComparable<Time>, public IStringConvertable, public FixedSerializable {
public:
    static constexpr uint32_t Unset = 0xFFFFFFFF;
    static constexpr int SecondsPerZoneStep = 900;

    // An unset time.
    Time() = default;
    // Packs the fields without checking them (each cut to its byte); the zone
    // byte gets offsetSeconds / 900 (east of UTC positive).
    Time(int hour, int minute, int second, int offsetSeconds = 0);
    // Takes a packed word unchanged.
    explicit Time(uint32_t packed) : _packed(packed) {}

    int hour() const { return static_cast<int>((_packed >> 16) & 0xFF); }
    int minute() const { return static_cast<int>((_packed >> 8) & 0xFF); }
    int second() const { return static_cast<int>(_packed & 0xFF); }
    // The zone byte: signed quarter hours east of UTC.
    int zone() const { return static_cast<int8_t>(_packed >> 24); }
    int zoneOffsetSeconds() const { return zone() * SecondsPerZoneStep; }
    uint32_t packed() const { return _packed; }
    bool isSet() const { return _packed != Unset; }

    // Compares hour, minute and second (the low 24 bits) as unsigned numbers.
    bool equals(const Time& other) const override { return clock() == other.clock(); }
    bool lessThan(const Time& other) const override { return clock() < other.clock(); }
    bool greaterThan(const Time& other) const override { return clock() > other.clock(); }

    using IStringConvertable::toString;
    // "%02d:%02d:%02d": hour, minute, second.
    void toString(IFormatable& out) const override;

    // 4 bytes: zone (signed quarter hours), hour, minute, second.
    int size() const override { return 4; }
    void encode(uint8_t* out, ByteOrder order) const override;
    void decode(const uint8_t* in, ByteOrder order) override;

private:
    uint32_t clock() const { return _packed & 0x00FFFFFF; }

    uint32_t _packed = Unset;
};

} // namespace ostrel
