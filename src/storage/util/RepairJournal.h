#pragma once

#include "base/UniqueID.h"

#include <cstdint>
#include <string>

namespace ostrel {

class IStorageFile;
class OverlayStorageFile;

// Makes a repair's writes to a storage file all-or-nothing across a crash.
//
// A repair touches many pages in one go (relinked headers, compacted
// timeline and event pages, the free list, the superblock) and none of it
// fits the storage's own journal, which holds one transaction's page
// records. So before the first of those sectors is written, every one of
// them goes to a side file next to the storage ("<storage>.repair") and is
// made durable; then they are written to the storage and made durable; then
// the side file goes. Whoever opens the storage for writing first finishes
// an interrupted repair from a complete side file, and drops an incomplete
// one (nothing of it reached the storage yet).
//
// The side file is tied to its storage by the storage's ID, so one left
// beside a file that was since formatted anew, or replaced, is never applied
// to it.
class RepairJournal {
public:
    // The side file of a storage file: "<path>.repair"; empty for a file
    // that is not on a disk (no system handle), which has nowhere to keep one.
    static std::string pathFor(const IStorageFile& file);
    static std::string pathFor(const std::string& storagePath) { return storagePath + ".repair"; }

    // `path` empty: commit() writes straight to the file, replay() finds nothing.
    explicit RepairJournal(std::string path);

    const std::string& path() const { return _path; }

    // Writes the overlay's sectors to `file` as described above. On a failure
    // (SystemException, VarnelException) the side file is kept when it is
    // complete, so that the next open finishes the repair.
    void commit(IStorageFile& file, const OverlayStorageFile& changes);

    // Finishes an interrupted repair of `file`: answers true when a complete
    // side file for this storage was applied. A side file that is incomplete
    // or belongs to another storage is removed; a file with none answers
    // false at once.
    bool replay(IStorageFile& file);

    // Removes the side file, if any (a format makes any pending repair moot).
    void discard();

private:
    void write(const IStorageFile& file, const OverlayStorageFile& changes, const UniqueID& storageID);

    std::string _path;
};

} // namespace ostrel
