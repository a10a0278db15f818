#pragma once

#include "network/protocol/ISyncOption.h"

#include <cstdint>
#include <vector>

namespace ostrel {

// Sync option 1: the service profiles a site offers. Body: u8 count, then per
// entry u8 profile type, u8 value, boolean flag.
class ProfileList : public ISyncOption {
public:
    // Profile types 1 to 3 are known; the playback service is type 2.
    static constexpr uint8_t PlaybackProfile = 2;

    struct Entry {
        uint8_t type = 0; // 1, 2 or 3; any other value reads as 0
        uint8_t value = 0;
        bool flag = false;
    };

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override { return 3 * static_cast<int>(_entries.size()) + 1; }
    uint8_t id() const override { return ProfileListId; }

    const std::vector<Entry>& entries() const { return _entries; }
    // Adds an entry (at most 255: the count is one byte).
    void add(Entry entry);
    void clear() { _entries.clear(); }
    bool contains(uint8_t type) const;

    static constexpr uint8_t typeOf(uint8_t raw) { return raw >= 1 && raw <= 3 ? raw : 0; }

private:
    std::vector<Entry> _entries;
};

} // namespace ostrel
