#pragma once

#include "storage/FixedPageItem.h"

#include <string>

namespace ostrel {

// One key/value record of the info track (64 bytes): the key in 32 bytes
// and the value in 32 bytes, each zero-terminated, at most 31 characters.
class InfoElement : public FixedPageItem {
public:
    static constexpr std::size_t FieldSize = 32;
    static constexpr std::size_t MaxLength = FieldSize - 1;

    InfoElement() = default;
    InfoElement(const std::string& key, const std::string& value) { set(key, value); }

    const std::string& key() const { return _key; }
    const std::string& value() const { return _value; }
    // Both are cut to 31 characters (and at a zero byte).
    void set(const std::string& key, const std::string& value);
    static std::string cut(const std::string& text);

    int size() const override { return 64; }
    void encode(std::uint8_t* out, ByteOrder order) const override;
    void decode(const std::uint8_t* in, ByteOrder order) override;

private:
    std::string _key;
    std::string _value;
};

} // namespace ostrel
