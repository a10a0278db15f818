#include "storage/LogElement.h"

#include <cstring>

namespace ostrel {
namespace {

void storeU32(std::uint8_t* out, std::uint32_t value, ByteOrder order) {
    for (int i = 0; i < 4; ++i) {
        const int shift = order == BigEndian ? 24 - 8 * i : 8 * i;
        out[i] = static_cast<std::uint8_t>(value >> shift);
    }
}

std::uint32_t loadU32(const std::uint8_t* in, ByteOrder order) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const int shift = order == BigEndian ? 24 - 8 * i : 8 * i;
        value |= std::uint32_t{in[i]} << shift;
    }
    return value;
}

void storeU16(std::uint8_t* out, std::uint16_t value, ByteOrder order) {
    out[order == BigEndian ? 0 : 1] = static_cast<std::uint8_t>(value >> 8);
    out[order == BigEndian ? 1 : 0] = static_cast<std::uint8_t>(value);
}

std::uint16_t loadU16(const std::uint8_t* in, ByteOrder order) {
    return static_cast<std::uint16_t>((in[order == BigEndian ? 0 : 1] << 8) | in[order == BigEndian ? 1 : 0]);
}

} // namespace

LogElement::LogElement(std::uint32_t number, const DateTime& time, std::uint16_t level, std::uint16_t piece,
                       const std::string& text)
    : _number(number), _time(time), _level(level), _piece(piece), _text(text.substr(0, text.find('\0'))) {
    if (_text.size() > MaxPiece) {
        _text.resize(MaxPiece);
    }
}

void LogElement::encode(std::uint8_t* out, ByteOrder order) const {
    std::memset(out, 0, Size);
    storeU32(out, _number, order);
    _time.encode(out + 4, order);
    storeU16(out + 12, _level, order);
    storeU16(out + 14, _piece, order);
    std::memcpy(out + 16, _text.data(), _text.size());
}

void LogElement::decode(const std::uint8_t* in, ByteOrder order) {
    _number = loadU32(in, order);
    _time.decode(in + 4, order);
    _level = loadU16(in + 12, order);
    _piece = loadU16(in + 14, order);
    const char* text = reinterpret_cast<const char*>(in + 16);
    _text.assign(text, strnlen(text, MaxPiece));
}

} // namespace ostrel
