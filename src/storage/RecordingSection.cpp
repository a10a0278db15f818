#include "storage/RecordingSection.h"

#include "base/Trace.h"
#include "storage/RecordingTableElement.h"

#include <algorithm>

namespace ostrel {

void RecordingSection::add(const RecordingTableElement& entry, const PagePosition& position,
                           std::uint32_t checksum) {
    const DateTime& time = entry.dateTime();
    const std::uint64_t id = entry.mediaID();
    if (_pages.empty() || _pages.back().first.number != position.number || _pages.back().checksum != checksum) {
        _pages.push_back(PageInfo{position, checksum, time, id, position.offset, time, id});
    } else {
        PageInfo& page = _pages.back();
        page.lastOffset = position.offset;
        page.lastTime = time;
        page.lastMediaID = id;
    }
    if (_dates.empty() || !(_dates.back().date == time.date())) {
        _dates.push_back(RecordingDate{time.date(), id, id});
    } else {
        _dates.back().lastMediaID = id;
    }
    if (_runs.empty() || _stopped) {
        _runs.push_back(Run{time, time});
        _stopped = false;
    } else {
        _runs.back().to = time;
    }
    if (entry.channelMask().isEmpty()) {
        _stopped = true;
    }
    if (traceEnabled()) {
        trace("RecordingSection::updateLastRecordingInterval : %u%s, %s\n", _sectionID,
              Interval(_runs.back().from, _runs.back().to).toString().c_str(), _stopped ? "stopped" : "continue");
    }
}

void RecordingSection::trimBefore(const RecordingTableElement& first, const PagePosition& position,
                                  std::uint32_t checksum) {
    const std::uint64_t before = first.mediaID();
    const DateTime& time = first.dateTime();
    while (!_pages.empty() && _pages.front().lastMediaID < before) {
        _pages.erase(_pages.begin());
    }
    if (!_pages.empty()) {
        PageInfo& page = _pages.front();
        if (page.firstMediaID < before) {
            page.first = position;
            page.checksum = checksum;
            page.firstTime = time;
            page.firstMediaID = before;
        }
    }
    while (!_dates.empty() && _dates.front().lastMediaID < before) {
        _dates.erase(_dates.begin());
    }
    if (!_dates.empty() && _dates.front().firstMediaID < before) {
        _dates.front().date = time.date();
        _dates.front().firstMediaID = before;
    }
    while (!_runs.empty() && _runs.front().to < time) {
        _runs.erase(_runs.begin());
    }
    if (!_runs.empty() && _runs.front().from < time) {
        _runs.front().from = time;
    }
}

Interval RecordingSection::interval() const {
    if (_runs.empty()) {
        return Interval();
    }
    return Interval(_runs.front().from, _runs.back().to);
}

std::vector<Interval> RecordingSection::intervals() const {
    std::vector<Interval> result;
    result.reserve(_runs.size());
    for (const Run& run : _runs) {
        result.emplace_back(run.from, run.to);
    }
    return result;
}

} // namespace ostrel
