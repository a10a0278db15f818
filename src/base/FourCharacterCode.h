#pragma once

#include "base/FixedSerializable.h"
#include "base/IComparable.h"
#include "base/IStringConvertable.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace ostrel {

// Four raw bytes naming a kind of thing ("TIML", "FLAC"), kept and serialized in
// their own order on every platform and compared byte by byte. T is the code
// family built on it (class PageType : public FourCharacterCode<PageType>);
// codes of different families never compare with each other. A family adds
// its named constants and its default code.
template <typename T>
class FourCharacterCode : public IComparable<T>, public IStringConvertable, public FixedSerializable {
public:
    FourCharacterCode(char a, char b, char c, char d)
        : _bytes{static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c), static_cast<uint8_t>(d)} {}
    // From a four-letter literal: FourCharacterCode("TIML").
    explicit FourCharacterCode(const char (&text)[5]) : FourCharacterCode(text[0], text[1], text[2], text[3]) {}

    const std::array<uint8_t, 4>& bytes() const { return _bytes; }

    bool equals(const T& other) const override { return compare(other) == 0; }
    bool lessThan(const T& other) const override { return compare(other) < 0; }
    bool greaterThan(const T& other) const override { return compare(other) > 0; }

    using IStringConvertable::toString;
    // "%c%c%c%c".
    void toString(IFormatable& out) const override {
        out.format("%c%c%c%c", _bytes[0], _bytes[1], _bytes[2], _bytes[3]);
    }

    // 4 bytes, in order, whatever the buffer's byte order.
    int size() const override { return 4; }
    void encode(uint8_t* out, ByteOrder) const override { std::memcpy(out, _bytes.data(), 4); }
    void decode(const uint8_t* in, ByteOrder) override { std::memcpy(_bytes.data(), in, 4); }

protected:
    // Four zero bytes; each family chooses its own default.
    FourCharacterCode() = default;

private:
    int compare(const FourCharacterCode& other) const { return std::memcmp(_bytes.data(), other._bytes.data(), 4); }

    std::array<uint8_t, 4> _bytes{};
};

} // namespace ostrel
