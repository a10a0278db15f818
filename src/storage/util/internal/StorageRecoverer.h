#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

class Storage;

// Rebuilds at open what the index tracks lost in a crash: the timeline
// elements of the frames recorded after the timeline's last element, and the
// recording-table sections of the timeline elements after the table's end.
class StorageRecoverer {
public:
    explicit StorageRecoverer(Storage& storage) : _storage(storage) {}

    void recoverTimeline();
    void recoverRecordingTable();

private:
    void log(const std::string& text);

    Storage& _storage;
};

} // namespace ostrel
