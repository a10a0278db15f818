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
    // pending state from what is left (the timeline is already cut).
    void rollback(std::uint32_t sectionID, std::uint64_t after);

    bool recordingInterval(Interval& out) const;
    void recordingTimeTable(BitMask32 mask, const Interval& interval, std::vector<RecordingRun>& out) const;
    std::vector<RecordingSection> sections() const;

protected:
    void removeAfter(Page& page, std::uint64_t after, IRecordable& item) override;

private:
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
    void replayTimeline(const PagePosition& from);
    bool readLastEntry(RecordingTableElement& entry, PagePosition& position);

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

    // Set while rollback trims the new last page.
    bool _rollingBack = false;
    std::uint32_t _rollbackSection = 0;
    DateTime _rollbackTime;
};

} // namespace ostrel
