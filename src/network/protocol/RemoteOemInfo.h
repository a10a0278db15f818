#pragma once

#include "network/protocol/ISyncOption.h"

#include <cstdint>
#include <string_view>

namespace ostrel {

// Sync option 3: OEM marking of the site. Body: u32 OEM flag (true only for
// exactly 1), string of at most 32 characters.
class RemoteOemInfo : public ISyncOption {
public:
    static constexpr int MaxTextLength = 32;

    RemoteOemInfo() = default;
    RemoteOemInfo(bool oem, std::string_view text);

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override;
    uint8_t id() const override { return RemoteOemInfoId; }

    bool isOem() const { return _oem; }
    const char* text() const { return _text; }
    void clear();

private:
    bool _oem = false;
    char _text[MaxTextLength + 1] = {};
};

} // namespace ostrel
