#pragma once

#include "network/protocol/INetStruct.h"

#include <cstdint>
#include <string_view>

namespace ostrel {

// Payload of COMMON_MESSAGE_FIN, which a site sends before it ends a session:
// u8 code, string of at most 15 characters, u16 value.
class FinOption : public INetStruct {
public:
    static constexpr int MaxTextLength = 15;

    FinOption() = default;
    FinOption(uint8_t code, std::string_view text, uint16_t value);

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;

    uint8_t code() const { return _code; }
    const char* text() const { return _text; }
    uint16_t value() const { return _value; }

private:
    uint8_t _code = 0;
    char _text[MaxTextLength + 1] = {};
    uint16_t _value = 0;
};

} // namespace ostrel
