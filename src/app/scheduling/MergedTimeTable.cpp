#include "app/scheduling/MergedTimeTable.h"

#include "base/Trace.h"

namespace ostrel {

namespace {

// The time one second after `time`; an unset time stays unset.
DateTime secondAfter(const DateTime& time) {
    if (!time.isSet()) {
        return time;
    }
    DateTime next = time;
    next.addSeconds(1);
    return next;
}

} // namespace

void MergedTimeTable::assign(const std::vector<RecordingTimeTableEntry>& slices) {
    _intervals.clear();
    for (const RecordingTimeTableEntry& slice : slices) {
        merge(slice.range());
    }
    trace();
}

void MergedTimeTable::merge(const Interval& interval) {
    ostrel::trace("MergedTimeTable::merge : slice = %s", interval.toString().c_str());
    if (_intervals.empty()) {
        _intervals.push_back(interval);
        return;
    }
    DateTime from = interval.from();
    DateTime to = interval.to();
    bool inserted = false;
    auto it = _intervals.begin();
    while (it != _intervals.end()) {
        if (secondAfter(it->to()).lessThan(from)) {
            ++it; // wholly before
            continue;
        }
        if (!it->from().greaterThan(secondAfter(to))) {
            // Overlaps or touches: the two become one.
            if (it->from().lessThan(from)) {
                from = it->from();
            }
            if (it->to().greaterThan(to)) {
                to = it->to();
            }
            it = _intervals.erase(it);
            continue;
        }
        _intervals.insert(it, Interval(from, to));
        inserted = true;
        break;
    }
    if (!inserted) {
        _intervals.push_back(Interval(from, to));
    }
    ostrel::trace("MergedTimeTable::merge : merged = %s", Interval(from, to).toString().c_str());
}

void MergedTimeTable::trace() const {
    if (!traceEnabled()) {
        return;
    }
    ostrel::trace("[MergedTimeTable::trace()]");
    int index = 0;
    for (const Interval& interval : _intervals) {
        ostrel::trace("%d : %s", index++, interval.toString().c_str());
    }
    ostrel::trace("[End trace]");
}

void MergedTimeTable::coalesce(int gapSeconds, std::vector<Interval>& out) const {
    out.clear();
    for (const Interval& entry : _intervals) {
        if (out.empty()) {
            out.push_back(entry);
            continue;
        }
        const Interval& last = out.back();
        if (!entry.from().lessThan(last.to()) &&
            DateTime::secondsBetween(entry.from(), last.to()) < gapSeconds) {
            out.back() = Interval(last.from(), entry.to());
        } else {
            out.push_back(entry);
        }
    }
}

} // namespace ostrel
