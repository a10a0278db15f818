#pragma once

#include "base/DateTime.h"
#include "storage/FixedPageItem.h"

#include <cstdint>
#include <string>

namespace ostrel {

// One piece of a storage log message (64 bytes):
//   0 u32 message number, 4 DateTime (local time), 12 u16 level,
//   14 u16 piece index, 16 text piece (48 bytes, zero-terminated, at most 47
//   characters).
class LogElement : public FixedPageItem {
public:
    static constexpr std::size_t Size = 64;
    static constexpr std::size_t TextSize = 48;
    static constexpr std::size_t MaxPiece = TextSize - 1;

    LogElement() = default;
    LogElement(std::uint32_t number, const DateTime& time, std::uint16_t level, std::uint16_t piece,
               const std::string& text);

    std::uint32_t number() const { return _number; }
    const DateTime& dateTime() const { return _time; }
    std::uint16_t level() const { return _level; }
    std::uint16_t piece() const { return _piece; }
    const std::string& text() const { return _text; }

    int size() const override { return static_cast<int>(Size); }
    void encode(std::uint8_t* out, ByteOrder order) const override;
    void decode(const std::uint8_t* in, ByteOrder order) override;

private:
    std::uint32_t _number = 0;
    DateTime _time;
    std::uint16_t _level = 0;
    std::uint16_t _piece = 0;
    std::string _text;
};

} // namespace ostrel
