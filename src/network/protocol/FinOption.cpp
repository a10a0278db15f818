#include "network/protocol/FinOption.h"

#include "network/protocol/Packet.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

FinOption::FinOption(uint8_t code, std::string_view text, uint16_t value) : _code(code), _value(value) {
    const size_t kept = std::min(text.size(), static_cast<size_t>(MaxTextLength));
    std::memcpy(_text, text.data(), kept);
    _text[kept] = '\0';
}

void FinOption::read(ByteBuffer& buffer) {
    FinOption option;
    option._code = buffer.get();
    buffer.getString(option._text, sizeof option._text);
    option._value = buffer.getShort();
    *this = option;
}

void FinOption::write(Packet& packet) const {
    packet.put(_code);
    packet.putString(_text);
    packet.putShort(_value);
}

} // namespace ostrel
