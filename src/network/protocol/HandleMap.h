#pragma once

#include <vector>

namespace ostrel {

// Maps session handles to the channel (table slot) of their session, and
// back. Open addressing with linear probing over 4(p + 1) - 1 slots, p the
// smallest prime not below the channel count; a key's home slot is
// |key| mod size. Not thread-safe: its facade guards it.
class HandleMap {
public:
    explicit HandleMap(int channels);

    // False when the handle is already mapped or the channel is out of range.
    bool map(int handle, int channel);
    // False when the handle was not mapped.
    bool unmap(int handle);
    // -1 when not mapped.
    int channelOf(int handle) const;
    int handleOf(int channel) const;
    bool contains(int handle) const { return channelOf(handle) >= 0; }
    int tableSize() const { return static_cast<int>(_slots.size()); }
    int count() const { return _count; }

private:
    struct Slot {
        int handle = 0;
        int channel = -1; // -1: empty
    };

    int home(int handle) const;
    int find(int handle) const;

    std::vector<Slot> _slots;
    std::vector<int> _handles; // per channel, -1 when none
    int _count = 0;
};

} // namespace ostrel
