#pragma once

#include <cstdint>
#include <string_view>

namespace ostrel {

class Packet;

// One entry of a site's storage list (530): a u32 (the site's number of the
// storage) and its name, a string of at most 255 characters (longer names
// are cut when read).
class StorageListEntry {
public:
    static constexpr int MaxNameLength = 255;
    // u32, then at least an empty string (u16 length and the terminator).
    static constexpr int MinWireSize = 4 + 3;

    StorageListEntry() = default;
    StorageListEntry(uint32_t number, std::string_view name);

    uint32_t number() const { return _number; }
    const char* name() const { return _name; }

    void write(Packet& packet) const;
    // ByteBufferException when short or when the string is malformed.
    void read(Packet& packet);

private:
    uint32_t _number = 0;
    char _name[MaxNameLength + 1] = {};
};

} // namespace ostrel
