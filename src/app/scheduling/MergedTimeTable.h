#pragma once

#include "base/Interval.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"

#include <cstddef>
#include <list>
#include <vector>

namespace ostrel {

// A site's recording time table (possibly overlapping or touching intervals)
// turned into a sorted list of disjoint intervals with more than one second
// between neighbours. Not locked: one thread uses an instance at a time.
class MergedTimeTable {
public:
    using const_iterator = std::list<Interval>::const_iterator;

    // Clears the table and merges the interval of every slice in order.
    void assign(const std::vector<RecordingTimeTableEntry>& slices);
    // Joins `interval` with every entry it overlaps or touches (one second
    // apart at most) and keeps the table sorted.
    void merge(const Interval& interval);
    void clear() { _intervals.clear(); }
    // Traces the table, one line per entry.
    void trace() const;
    // For display: neighbours less than `gapSeconds` apart become one row.
    void coalesce(int gapSeconds, std::vector<Interval>& out) const;

    bool empty() const { return _intervals.empty(); }
    std::size_t size() const { return _intervals.size(); }
    const Interval& front() const { return _intervals.front(); }
    const Interval& back() const { return _intervals.back(); }
    const_iterator begin() const { return _intervals.begin(); }
    const_iterator end() const { return _intervals.end(); }
    std::vector<Interval> intervals() const { return {_intervals.begin(), _intervals.end()}; }

private:
    std::list<Interval> _intervals;
};

} // namespace ostrel
