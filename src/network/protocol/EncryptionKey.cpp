#include "network/protocol/EncryptionKey.h"

#include "network/protocol/Packet.h"

namespace ostrel {

void EncryptionKey::read(ByteBuffer& buffer) {
    Bytes bytes;
    buffer.get(bytes.data(), 0, 4);
    _bytes = bytes;
}

void EncryptionKey::write(Packet& packet) const { packet.put(_bytes.data(), 4); }

} // namespace ostrel
