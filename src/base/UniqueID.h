#pragma once

#include "base/IComparable.h"
#include "base/IStringConvertable.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace ostrel {

// A 128-bit identifier in the memory layout of a GUID: a 32-bit, two 16-bit
// fields (each little-endian) and eight single bytes. Files store the 16 bytes
// exactly as they lie here. The text form is the usual 36-character
// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case, the first three groups
// being the numeric values of the three fields.
//
// Ordered by the bytes in memory (as memcmp), not by the fields' values.
class UniqueID : public IComparable<UniqueID>, public IStringConvertable {
public:
    static constexpr std::size_t Size = 16;
    static constexpr std::size_t TextLength = 36;
    using Bytes = std::array<uint8_t, Size>;

    // A new random identifier (version 4, variant bits 10) from the operating
    // system's random source. Throws SystemException when the source fails.
    UniqueID();
    // Parses the 36-character text (hexadecimal digits in either case). Throws
    // Exception for any other text.
    explicit UniqueID(std::string_view text);
    explicit UniqueID(const Bytes& bytes) : _bytes(bytes) {}

    // Copies 16 bytes from `bytes`, as stored in a file.
    static UniqueID fromBytes(const void* bytes);
    // All zero bytes.
    static UniqueID nil();
    // Like the text constructor, but gives std::nullopt for a malformed text.
    static std::optional<UniqueID> parse(std::string_view text);

    const Bytes& bytes() const { return _bytes; }
    const uint8_t* data() const { return _bytes.data(); }
    bool isNil() const;

    bool equals(const UniqueID& other) const override { return _bytes == other._bytes; }
    bool lessThan(const UniqueID& other) const override;
    bool greaterThan(const UniqueID& other) const override;

    using IStringConvertable::toString;
    // The lower-case 36-character text without braces.
    void toString(IFormatable& out) const override;

private:
    struct Zero {};
    explicit UniqueID(Zero) : _bytes{} {}

    Bytes _bytes;
};

} // namespace ostrel

template <>
struct std::hash<ostrel::UniqueID> {
    std::size_t operator()(const ostrel::UniqueID& id) const noexcept;
};
