#include "network/protocol/HandleMap.h"

#include <cstdlib>

namespace ostrel {
namespace {

bool isPrime(int n) {
    if (n < 2) {
        return false;
    }
    for (int d = 2; d * d <= n; ++d) {
        if (n % d == 0) {
            return false;
        }
    }
    return true;
}

int smallestPrimeFrom(int n) {
    while (!isPrime(n)) {
        ++n;
    }
    return n;
}

} // namespace

HandleMap::HandleMap(int channels)
    : _slots(static_cast<size_t>(4 * (smallestPrimeFrom(channels > 0 ? channels : 1) + 1) - 1)),
      _handles(static_cast<size_t>(channels > 0 ? channels : 0), -1) {}

int HandleMap::home(int handle) const {
    const long long magnitude = std::llabs(static_cast<long long>(handle));
    return static_cast<int>(magnitude % static_cast<long long>(_slots.size()));
}

int HandleMap::find(int handle) const {
    const int size = tableSize();
    for (int i = 0, slot = home(handle); i < size; ++i, slot = (slot + 1) % size) {
        const Slot& candidate = _slots[static_cast<size_t>(slot)];
        if (candidate.channel < 0) {
            return -1;
        }
        if (candidate.handle == handle) {
            return slot;
        }
    }
    return -1;
}

bool HandleMap::map(int handle, int channel) {
    if (channel < 0 || channel >= static_cast<int>(_handles.size()) || contains(handle) ||
        _handles[static_cast<size_t>(channel)] >= 0) {
        return false;
    }
    const int size = tableSize();
    for (int i = 0, slot = home(handle); i < size; ++i, slot = (slot + 1) % size) {
        Slot& candidate = _slots[static_cast<size_t>(slot)];
        if (candidate.channel < 0) {
            candidate.handle = handle;
            candidate.channel = channel;
            _handles[static_cast<size_t>(channel)] = handle;
            ++_count;
            return true;
        }
    }
    return false; // cannot happen: there are more slots than channels
}

bool HandleMap::unmap(int handle) {
    int hole = find(handle);
    if (hole < 0) {
        return false;
    }
    _handles[static_cast<size_t>(_slots[static_cast<size_t>(hole)].channel)] = -1;
    _slots[static_cast<size_t>(hole)] = Slot();
    --_count;
    // Backward-shift deletion: move later entries of the probe run into the
    // hole when the hole lies between their home slot and where they are, so
    // that every entry stays reachable from its home without tombstones.
    const int size = tableSize();
    for (int slot = (hole + 1) % size; _slots[static_cast<size_t>(slot)].channel >= 0; slot = (slot + 1) % size) {
        const int wanted = home(_slots[static_cast<size_t>(slot)].handle);
        const bool reachable = hole <= slot ? (wanted <= hole || wanted > slot) : (wanted <= hole && wanted > slot);
        if (reachable) {
            _slots[static_cast<size_t>(hole)] = _slots[static_cast<size_t>(slot)];
            _slots[static_cast<size_t>(slot)] = Slot();
            hole = slot;
        }
    }
    return true;
}

int HandleMap::channelOf(int handle) const {
    const int slot = find(handle);
    return slot < 0 ? -1 : _slots[static_cast<size_t>(slot)].channel;
}

int HandleMap::handleOf(int channel) const {
    if (channel < 0 || channel >= static_cast<int>(_handles.size())) {
        return -1;
    }
    return _handles[static_cast<size_t>(channel)];
}

} // namespace ostrel
