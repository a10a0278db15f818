#pragma once

// What the archiving tests share: storage files formatted for a test, the
// items a simulated site holds in the order it plays them, and a storage
// group read back item by item.

#include "app/archiving/ResumeRecord.h"
#include "base/Interval.h"
#include "storage/EventElement.h"
#include "storage/PagePosition.h"
#include "storage/RecordingRun.h"
#include "storage/util/RecordingTableVerifier.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ostrel {
class SiteServer;
}

namespace ostrel::testing {

// One video, audio or text-in item, as the site plays it or as it was stored.
struct StoredItem {
    uint16_t mediaType = 0;
    int64_t epoch = 0;
    uint32_t channels = 0;
    uint16_t frameIndex = 0;
    uint32_t gopID = 0;
    uint64_t mediaID = 0;
    std::vector<uint8_t> payload;
    std::string text;
    // The member that holds a stored item (its index in the paths).
    std::size_t member = 0;
};

// One recording section of a member's recording table.
struct StoredSection {
    std::size_t member = 0;
    RecordingTableVerifier::Section section;
};

// A storage group's media and text-in items in media ID order, with its
// events, recording runs and the current member's info entries.
struct StoredGroup {
    std::vector<StoredItem> items;
    std::map<uint64_t, StoredItem> byID;
    std::vector<EventElement> events;
    std::vector<RecordingRun> runs;
    std::map<std::string, std::string> info;
    // The last section ID of every member, in the order the paths were given.
    std::vector<uint32_t> lastSections;
    // Every member's recording table as RecordingTableVerifier (full) reads
    // it, and what it found wrong.
    std::vector<StoredSection> sections;
    std::vector<std::string> tableProblems;
    // The media IDs the members' timelines index.
    std::set<uint64_t> indexed;
    // The group's recording interval (unset ends when it has none).
    Interval interval;
};

// Creates and formats a storage file of `pages` pages of `pageSize` bytes.
void formatStorage(const std::string& path, uint32_t pages, uint32_t pageSize = 8192);

// Everything the site holds at `clockSeconds`, in the order it plays it.
std::vector<StoredItem> expectedItems(const SiteServer& site, int64_t clockSeconds);

// Opens the files as one group (with correction and recovery), reads every
// item back and closes the group.
StoredGroup readBack(const std::vector<std::string>& paths);

// Stored items compared with a stretch of the expected ones from `offset`.
void expectSame(const std::vector<StoredItem>& stored, const std::vector<StoredItem>& expected, std::size_t offset);

std::size_t countOfType(const std::vector<StoredItem>& items, uint16_t mediaType);

// The site's recording time table for [from, to] at `clockSeconds`, merged
// where sections touch: what an archiving of that range must describe.
std::vector<Interval> siteTimeTable(const SiteServer& site, const DateTime& from, const DateTime& to,
                                    int64_t clockSeconds = 0);

// The group's recording tables describe what its media tracks hold and what
// the site played: every member's table passes the full verification;
// section IDs are unique and sections do not overlap in time; each section's
// first entry names its first indexed video frame and a closing stop its
// last; every indexed video frame lies in the runs of its section and of no
// other; the runs of all sections, merged, are the seconds of the indexed
// video frames and the site's time table (less the seconds whose only video
// frames are the non-key frames that begin a member, which no timeline
// indexes); the group's recording interval and time table agree.
void expectTablesDescribe(const StoredGroup& stored, const std::vector<Interval>& siteTable);

} // namespace ostrel::testing
