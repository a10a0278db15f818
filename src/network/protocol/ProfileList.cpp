#include "network/protocol/ProfileList.h"

#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"

namespace ostrel {

void ProfileList::read(ByteBuffer& buffer) {
    const int count = buffer.get();
    std::vector<Entry> entries;
    entries.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Entry entry;
        entry.type = typeOf(buffer.get());
        entry.value = buffer.get();
        entry.flag = buffer.getBool();
        entries.push_back(entry);
    }
    _entries = std::move(entries);
}

void ProfileList::write(Packet& packet) const {
    packet.put(static_cast<uint8_t>(_entries.size()));
    for (const Entry& entry : _entries) {
        packet.put(entry.type);
        packet.put(entry.value);
        packet.putBool(entry.flag);
    }
}

void ProfileList::add(Entry entry) {
    if (_entries.size() >= 255) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    entry.type = typeOf(entry.type);
    _entries.push_back(entry);
}

bool ProfileList::contains(uint8_t type) const {
    for (const Entry& entry : _entries) {
        if (entry.type == type) {
            return true;
        }
    }
    return false;
}

} // namespace ostrel
