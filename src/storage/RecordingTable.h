#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "base/thread/Mutex.h"
#include "storage/PagePosition.h"
#include "storage/RecordingRun.h"
#include "storage/RecordingSection.h"
#include "storage/RecordingTableElement.h"
#include "storage/Track.h"

#include <cstdint>
#include <map>
#include <vector>

namespace ostrel {

class TimelineElement;

// The summary of the timeline: an entry wherever the recorded channels
// change, the date changes, the timeline moves to a new page or recording
// pauses, grouped into recording sections. Fed with every indexed video
// frame; keeps at most one pending entry for the current second. The
// sections in memory answer what was recorded when, under the table's own
// lock, while the recorder writes.
class RecordingTable : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    RecordingTable();

    PageType pageType() const override { return PageType::RecordingTable; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;
    bool overwrite(std::uint64_t before) override;

    // One indexed video frame: its timeline element and position.
    void update(const TimelineElement& element, const PagePosition& position);
    std::uint32_t firstSectionID() const;
    std::uint32_t lastSectionID() const;
    // Closes the current section (its pending entry, then a stop entry) and
    // makes `sectionID` the current one.
    void setNextSectionID(std::uint32_t sectionID);
    // Writes what the current second still holds and closes the recording
    // with a stop entry (at a storage flush).
    void flushPending();
    // Removes the entries above `after` and rebuilds the sections and the
    // pending state from what is left (the timeline is already cut at
    // `after`). `sectionID` is the section of frame `after`: when this
    // storage holds that frame and its section began after the last entry
    // left, the frames after that entry continue in it.
    void rollback(std::uint32_t sectionID, std::uint64_t after);
    // Whether the table lags behind the timeline: its last entry names no
    // video element of the timeline, or the video elements after it would
    // already have written entries.
    bool isBehindTimeline();
    // The rebuild at open: the entries that no longer describe the timeline
    // (or describe its last second, which may have lost frames) go, and the
    // video elements after the last entry left are replayed. Answers the
    // number of elements replayed.
    std::uint32_t rebuildFromTimeline();
    // For a table opened for writing, once every track of the storage is
    // open: the state of the recording (the pending second, the last
    // element, the time) is rebuilt from the timeline elements after the
    // last entry, so that the next entry written is the one recording
    // without a break would have written.
    void resumeFromTimeline();

    bool recordingInterval(Interval& out) const;
    void recordingTimeTable(BitMask32 mask, const Interval& interval, std::vector<RecordingRun>& out) const;
    std::vector<RecordingSection> sections() const;

private:
    // What the writer keeps in memory between entries.
    struct State {
        RecordingTableElement last;
        DateTime time;
        RecordingTableElement reserved;
        PagePosition lastWrittenPosition;
        PagePosition lastTimelinePosition;
        std::uint64_t lastTimelineMediaID = 0;
        std::uint32_t sectionID = 1;
        BitMask32 lastMask;
    };
    State state() const;
    void setState(const State& state);

    void updateLocked(const TimelineElement& element, const PagePosition& position);
    void nextSectionLocked(std::uint32_t sectionID);
    // Tells the storage about the sections that began (outside the lock).
    void drainSectionChanges();
    void writeEntry(const RecordingTableElement& entry, bool continuation);
    void writeStop();
    void writePending();
    void resetLast();
    void resetInternals();
    void rebuildSections();
    void restoreTimelineState();
    bool readLastEntry(RecordingTableElement& entry, PagePosition& position);
    // Whether the entry names a video element of the timeline carrying its
    // media ID (at its time, unless it is a stop).
    bool describesTimeline(const RecordingTableElement& entry);
    // The cut of the table back to the timeline (already cut at `after`)
    // and the replay of what follows the entry kept; answers the number of
    // elements replayed.
    std::uint32_t resynchronize(std::uint32_t sectionHint, std::uint64_t after);
    // Removes every entry after the one at `keep` (all of them for (0, 0)).
    void cutAfter(const PagePosition& keep);
    // The writer's state right after writing `entry` at `position`.
    void restoreFrom(const RecordingTableElement& entry, const PagePosition& position);
    // Feeds the video elements after `from` (from the first for (0, 0)) to
    // the update; with `skipSecond`, those of the time restored from the
    // last entry only advance the last position. Answers how many were fed.
    std::uint32_t replayTimeline(const PagePosition& from, bool skipSecond);
    void logInternals(const RecordingTableElement& entry);

    mutable Mutex _mutex;
    RecordingTableElement _last;
    DateTime _time;
    RecordingTableElement _reserved;
    std::map<std::uint32_t, RecordingSection> _sections;
    PagePosition _lastWrittenPosition;
    PagePosition _lastTimelinePosition;
    std::uint64_t _lastTimelineMediaID = 0;
    std::uint32_t _sectionID = 1;
    BitMask32 _lastMask;
    std::vector<std::uint32_t> _newSections;

    // Set while a replay only finds out whether it would write an entry.
    bool _dryRun = false;
    bool _wouldWrite = false;
};

} // namespace ostrel
