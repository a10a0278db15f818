#pragma once

#include <string>

namespace ostrel {

class Storage;

// The read-only validation at open: the journal is empty, every track's ends
// are the ends of a chain, the timeline's first and last elements name
// stored items and the recording table's ends name timeline elements.
class StorageChecker {
public:
    explicit StorageChecker(Storage& storage) : _storage(storage) {}

    // Whether the storage is consistent; a damaged page answers false.
    bool check();
    // What the last check found wrong (empty when it passed).
    const std::string& problem() const { return _problem; }

private:
    bool checkTracks();
    bool checkTimeline();
    bool checkRecordingTable();

    bool fail(const std::string& problem);

    Storage& _storage;
    std::string _problem;
};

} // namespace ostrel
