#include "network/protocol/RequestOptionList.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void RequestOptionList::read(ByteBuffer& buffer) {
    const int count = buffer.get();
    std::vector<uint8_t> ids(static_cast<size_t>(count));
    buffer.get(ids.data(), 0, count);
    _ids = std::move(ids);
}

void RequestOptionList::write(Packet& packet) const {
    packet.put(static_cast<uint8_t>(_ids.size()));
    packet.put(_ids.data(), static_cast<int>(_ids.size()));
}

void RequestOptionList::add(uint8_t optionId) {
    if (_ids.size() >= 255) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _ids.push_back(optionId);
}

} // namespace ostrel
