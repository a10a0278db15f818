#pragma once

#include "base/Interval.h"
#include "storage/PagePosition.h"
#include "storage/RecordingTableElement.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

class Storage;

// The recording table checked against the timeline it summarises, read-only
// and on a storage in any state (open for reading or writing).
//
// Quick reads the table and, per entry, the timeline elements around the one
// it names: every entry names a video element carrying its media ID (a
// change entry the first element of its second), entries follow one another
// in media ID, section and time, a section begins after a stop of the one
// before with the video element that follows the stop, an entry after a stop
// names the element after the stop's, and the sections the table keeps in
// memory are those of its pages.
//
// Full also walks the timeline from the table's first entry: every video
// element lies in the section whose media IDs it falls in, time never goes
// back inside a section, and the runs of recording the table describes
// (merged where they touch) are exactly those of the video elements. Before
// the first entry the timeline may hold elements the table no longer
// describes: the overwrite of the oldest data trims the table to its first
// entry after the oldest frame kept.
class RecordingTableVerifier {
public:
    enum class Depth { Quick, Full };

    // One section as the table describes it.
    struct Section {
        std::uint32_t id = 0;
        RecordingTableElement first;
        PagePosition firstAt;
        RecordingTableElement last;
        PagePosition lastAt;
        // The runs of recording, merged where they touch; the last section's
        // last run reaches the timeline's last video element unless a stop
        // closed it.
        std::vector<Interval> runs;
    };

    explicit RecordingTableVerifier(Storage& storage) : _storage(storage) {}

    // Whether the table describes the timeline; problem() says what is wrong.
    bool verify(Depth depth);
    const std::string& problem() const { return _problem; }
    // The sections found by the last verify (those before a problem).
    const std::vector<Section>& sections() const { return _sections; }

    // Intervals in ascending order, merged where they overlap or touch (one
    // starts at most one second after the other ends).
    static std::vector<Interval> merged(std::vector<Interval> intervals);

private:
    bool verifyTable();
    bool verifyTimeline();
    bool verifyMemory();
    bool fail(const std::string& problem);

    Storage& _storage;
    std::string _problem;
    std::vector<Section> _sections;
    // After a last stop, the first video element of a section that has no
    // entry yet (its first second is pending), and its seconds.
    std::uint64_t _pendingSectionFrom = 0;
    std::size_t _pendingSeconds = 0;
};

} // namespace ostrel
