#include "network/protocol/Protocol.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

#include <cstring>

namespace ostrel {

Protocol::Protocol() = default;

Protocol::Protocol(const char name[4], uint8_t version, bool backwardCompatible, uint8_t attribute1,
                   uint8_t attribute2)
    : _version(version),
      _backwardCompatible(backwardCompatible),
      _attribute1(attributeOf(attribute1)),
      _attribute2(attributeOf(attribute2)) {
    std::memcpy(_name, name, 4);
}

const Protocol& Protocol::local() {
    static const Protocol instance("ISNP", 1, false, 1, 1);
    return instance;
}

void Protocol::read(ByteBuffer& buffer) {
    if (buffer.remaining() < WireSize) {
        // Checked up front so a short payload leaves neither the buffer nor this object half-read.
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    char name[4];
    buffer.get(name, 0, 4);
    std::memcpy(_name, name, 4);
    _name[4] = '\0';
    _version = buffer.get();
    _backwardCompatible = buffer.getBool();
    _attribute1 = attributeOf(buffer.get());
    _attribute2 = attributeOf(buffer.get());
}

void Protocol::write(Packet& packet) const {
    packet.put(_name, 4);
    packet.put(_version);
    packet.putBool(_backwardCompatible);
    packet.put(_attribute1);
    packet.put(_attribute2);
}

bool Protocol::sameName(const Protocol& other) const { return std::memcmp(_name, other._name, 4) == 0; }

bool Protocol::accepts(const Protocol& received) const {
    if (!sameName(received)) {
        return false;
    }
    return !(received._version > _version && !received._backwardCompatible);
}

} // namespace ostrel
