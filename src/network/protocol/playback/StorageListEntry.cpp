#include "network/protocol/playback/StorageListEntry.h"

#include "network/protocol/Packet.h"

#include <cstring>

namespace ostrel {

StorageListEntry::StorageListEntry(uint32_t number, std::string_view name) : _number(number) {
    const size_t length = name.size() < static_cast<size_t>(MaxNameLength) ? name.size() : MaxNameLength;
    std::memcpy(_name, name.data(), length);
    _name[length] = '\0';
}

void StorageListEntry::write(Packet& packet) const {
    packet.putInt(_number);
    packet.putString(std::string_view(_name));
}

void StorageListEntry::read(Packet& packet) {
    StorageListEntry entry;
    entry._number = packet.getInt();
    packet.getString(entry._name, sizeof entry._name);
    *this = entry;
}

} // namespace ostrel
