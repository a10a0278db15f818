#pragma once

#include "base/DateTime.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ostrel {

class IStorageFile;

// Repairs a storage file that the full integrity check finds damaged, so
// that one damaged page costs at most what is on it:
// - every damaged page leaves its track and goes onto the bad-page track;
// - its track is relinked around it where the media IDs of the pages on
//   both sides still follow each other, and cut there where they do not;
// - a frame that ran into a page that left the track is dropped;
// - timeline elements that name frames no longer held are taken out of
//   their pages (the elements after them move up, and everything that
//   pointed at a moved element follows it), events that name elements no
//   longer held likewise, and a recording table that names any of them is
//   rebuilt from the timeline by the storage's own recovery;
// - pages no chain holds go back to the free list, which is written anew.
// Every frame on an undamaged page that can still be placed in order stays
// readable, byte for byte. What was lost is kept per channel as time ranges.
class StorageRepairer {
public:
    // What one channel lost: the frames the timeline indexed in [from, to].
    struct LostRange {
        int channel = 0;  // 1-based
        bool audio = false;
        DateTime from;
        DateTime to;
        std::uint64_t frames = 0;
        std::string toString() const;
    };

    // `file` must be writable. The repair mends a view of it that keeps its
    // writes in memory, opens that view as a storage once so that the
    // storage's own recovery runs over the mended tracks, checks the result,
    // and only then writes the changed sectors to the file through the
    // repair journal at `journalPath` (see RepairJournal; empty: written
    // straight, for files not on a disk). The first form uses the journal
    // beside the file. A repair interrupted by a crash is finished first.
    explicit StorageRepairer(IStorageFile& file);
    StorageRepairer(IStorageFile& file, std::string journalPath);

    // Answers whether the file now passes the full check; problem() says
    // why not.
    bool run();

    const std::string& problem() const { return _problem; }
    // One line per thing done (pages quarantined, tracks relinked or cut,
    // elements and events dropped, pages freed).
    const std::vector<std::string>& actions() const { return _actions; }
    const std::vector<LostRange>& lost() const { return _lost; }
    const std::vector<std::uint32_t>& quarantined() const { return _quarantined; }
    // Whether the check found anything to repair.
    bool hadFindings() const { return _hadFindings; }

private:
    class Work;

    bool repair(IStorageFile& file);

    IStorageFile& _file;
    std::string _journalPath;
    std::string _problem;
    std::vector<std::string> _actions;
    std::vector<LostRange> _lost;
    std::vector<std::uint32_t> _quarantined;
    bool _hadFindings = false;
};

} // namespace ostrel
