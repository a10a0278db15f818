#pragma once

namespace ostrel {

class Storage;

// Writes a summary of a storage's superblock and of every track-list entry
// to the diagnostic trace (written at every open; the trace discards it
// unless OSTREL_TRACE names a file).
class StorageInformation {
public:
    static void dump(Storage& storage);
};

} // namespace ostrel
