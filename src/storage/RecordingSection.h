#pragma once

#include "base/Date.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "storage/PagePosition.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class RecordingTableElement;

// One recording section as the recording table keeps it in memory: the
// calendar days it covers, its runs of continuous recording and the table
// pages its entries lie in.
class RecordingSection {
public:
    struct RecordingDate {
        Date date;
        std::uint64_t firstMediaID = 0;
        std::uint64_t lastMediaID = 0;
    };
    struct PageInfo {
        PagePosition first;
        std::uint32_t checksum = 0;
        DateTime firstTime;
        std::uint64_t firstMediaID = 0;
        std::uint32_t lastOffset = 0;
        DateTime lastTime;
        std::uint64_t lastMediaID = 0;
    };
    struct Run {
        DateTime from;
        DateTime to;
    };

    explicit RecordingSection(std::uint32_t sectionID = 0) : _sectionID(sectionID) {}

    std::uint32_t sectionID() const { return _sectionID; }
    // Takes one entry written into the table at `position` (a page with `checksum`).
    void add(const RecordingTableElement& entry, const PagePosition& position, std::uint32_t checksum);
    // Drops what lies before the table's new first entry.
    void trimBefore(const RecordingTableElement& first, const PagePosition& position, std::uint32_t checksum);

    bool isEmpty() const { return _pages.empty(); }
    bool isStopped() const { return _stopped; }
    // (from of the first run, to of the last run).
    Interval interval() const;
    std::vector<Interval> intervals() const;
    const std::vector<Run>& runs() const { return _runs; }
    const std::vector<RecordingDate>& dates() const { return _dates; }
    const std::vector<PageInfo>& pages() const { return _pages; }
    std::uint64_t firstMediaID() const { return _pages.empty() ? 0 : _pages.front().firstMediaID; }
    std::uint64_t lastMediaID() const { return _pages.empty() ? 0 : _pages.back().lastMediaID; }
    PagePosition firstPosition() const { return _pages.empty() ? PagePosition{} : _pages.front().first; }
    PagePosition lastPosition() const {
        return _pages.empty() ? PagePosition{} : PagePosition{_pages.back().first.number, _pages.back().lastOffset};
    }
    DateTime lastTime() const { return _pages.empty() ? DateTime() : _pages.back().lastTime; }

private:
    std::uint32_t _sectionID;
    std::vector<RecordingDate> _dates;
    std::vector<Run> _runs;
    std::vector<PageInfo> _pages;
    bool _stopped = false;
};

} // namespace ostrel
