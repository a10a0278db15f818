#include "network/protocol/RemoteOemInfo.h"

#include "network/protocol/Packet.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

RemoteOemInfo::RemoteOemInfo(bool oem, std::string_view text) : _oem(oem) {
    const size_t kept = std::min(text.size(), static_cast<size_t>(MaxTextLength));
    std::memcpy(_text, text.data(), kept);
    _text[kept] = '\0';
}

void RemoteOemInfo::read(ByteBuffer& buffer) {
    const bool oem = buffer.getInt() == 1;
    char text[sizeof _text];
    buffer.getString(text, sizeof text);
    _oem = oem;
    std::memcpy(_text, text, sizeof _text);
}

void RemoteOemInfo::write(Packet& packet) const {
    packet.putInt(_oem ? 1 : 0);
    packet.putString(_text);
}

int RemoteOemInfo::size() const { return 7 + static_cast<int>(std::strlen(_text)); }

void RemoteOemInfo::clear() { *this = RemoteOemInfo(); }

} // namespace ostrel
