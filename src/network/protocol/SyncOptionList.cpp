#include "network/protocol/SyncOptionList.h"

#include "base/ByteBufferException.h"
#include "network/protocol/ISyncOption.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void SyncOptionList::read(ByteBuffer& buffer) {
    while (buffer.remaining() > 0) {
        const uint8_t id = ISyncOption::recognizedId(buffer.get());
        if (id == 0 && buffer.remaining() < 2) {
            break;
        }
        const int length = buffer.getShort();
        const int start = buffer.position();
        for (ISyncOption* option : _options) {
            if (id != 0 && option->id() == id) {
                option->read(buffer);
                break;
            }
        }
        const int consumed = buffer.position() - start;
        if (consumed < length) {
            buffer.skip(length - consumed);
        }
    }
}

void SyncOptionList::write(Packet& packet) const {
    for (const ISyncOption* option : _options) {
        const int size = option->size();
        if (size < 0 || size > 0xFFFF) {
            throw ByteBufferException(ByteBufferException::IllegalArgument);
        }
        packet.put(option->id());
        packet.putShort(static_cast<uint16_t>(size));
        option->write(packet);
    }
}

} // namespace ostrel
