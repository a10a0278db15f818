#include "storage/util/RecordingTableVerifier.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/RecordingSection.h"
#include "storage/RecordingTable.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace ostrel {

namespace {

using ull = unsigned long long;

std::string positionText(const PagePosition& position) {
    return "(" + std::to_string(position.number) + ", " + std::to_string(position.offset) + ")";
}

std::string timeText(const DateTime& time) { return time.isSet() ? time.toString() : "-"; }

std::string entryText(const RecordingTableElement& entry, const PagePosition& at) {
    char text[200];
    std::snprintf(text, sizeof text, "entry %s (section %u, media ID %llu, %s, channels 0x%x)",
                  positionText(at).c_str(), entry.sectionID(), static_cast<ull>(entry.mediaID()),
                  timeText(entry.dateTime()).c_str(), entry.channelMask().word());
    return text;
}

std::string runsText(const std::vector<Interval>& runs) {
    std::string text;
    for (const Interval& run : runs) {
        text += (text.empty() ? "" : " ") + run.toString();
    }
    return text.empty() ? "none" : text;
}

// `time` plus `seconds`; `time` itself when the calendar cannot hold the sum.
DateTime plus(const DateTime& time, std::int64_t seconds) {
    DateTime result = time;
    try {
        result.addSeconds(seconds);
    } catch (const Exception&) {
        return time;
    }
    return result;
}

// The most steps a walk over a track of this storage can take.
std::uint64_t stepBound(Storage& storage) {
    const SuperBlock& superBlock = storage.superBlock();
    return std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / TimelineElement::FixedSize) + 1;
}

// The timeline element at `position`; false when the position is not the
// start of an element.
bool elementAt(Storage& storage, const PagePosition& position, TimelineElement& element) {
    TrackIterator it(storage, PageType::Timeline);
    if (!it.seek(position) || (position.offset - it.page().firstItemOffset()) % TimelineElement::FixedSize != 0) {
        return false;
    }
    it.read(element);
    return true;
}

// The video element after (before) the element at `position`; false when
// there is none.
bool adjacentVideo(Storage& storage, const PagePosition& position, bool forward, TimelineElement& element,
                   PagePosition& at) {
    TrackIterator it(storage, PageType::Timeline);
    if (!it.seek(position)) {
        return false;
    }
    const std::uint64_t bound = stepBound(storage);
    for (std::uint64_t steps = 0; steps < bound; ++steps) {
        if (!(forward ? it.next() : it.previous())) {
            return false;
        }
        it.read(element);
        if (element.mediaType() == 0) {
            at = it.position();
            return true;
        }
    }
    return false;
}

// The timeline's first video element; false when it has none.
bool firstVideo(Storage& storage, TimelineElement& element, PagePosition& at) {
    TrackIterator it(storage, PageType::Timeline);
    const std::uint64_t bound = stepBound(storage);
    std::uint64_t steps = 0;
    for (bool more = it.first(); more && steps < bound; more = it.next(), ++steps) {
        it.read(element);
        if (element.mediaType() == 0) {
            at = it.position();
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<Interval> RecordingTableVerifier::merged(std::vector<Interval> intervals) {
    std::sort(intervals.begin(), intervals.end(), [](const Interval& a, const Interval& b) {
        return a.from() < b.from() || (a.from() == b.from() && a.to() < b.to());
    });
    std::vector<Interval> result;
    for (const Interval& interval : intervals) {
        if (!result.empty() && !(plus(result.back().to(), 1) < interval.from())) {
            if (interval.to() > result.back().to()) {
                result.back() = Interval(result.back().from(), interval.to());
            }
            continue;
        }
        result.push_back(interval);
    }
    return result;
}

bool RecordingTableVerifier::fail(const std::string& problem) {
    _problem = "recording table: " + problem;
    return false;
}

bool RecordingTableVerifier::verify(Depth depth) {
    _problem.clear();
    _sections.clear();
    _pendingSectionFrom = 0;
    _pendingSeconds = 0;
    try {
        if (!verifyTable() || !verifyMemory()) {
            return false;
        }
        return depth == Depth::Quick || verifyTimeline();
    } catch (const VarnelException& e) {
        traceException(e);
        return fail(e.toString());
    } catch (const SystemException& e) {
        traceException(e);
        return fail(e.toString());
    }
}

bool RecordingTableVerifier::verifyTable() {
    TrackIterator it(_storage, PageType::RecordingTable);
    RecordingTableElement previous;
    PagePosition previousAt;
    bool havePrevious = false;
    PagePosition firstAt;
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    bool runOpen = false;
    DateTime runFrom;
    TimelineElement element;
    TimelineElement neighbour;
    PagePosition neighbourAt;
    const std::uint64_t bound = stepBound(_storage);
    std::uint64_t steps = 0;
    for (bool more = it.first(); more; more = it.next()) {
        if (++steps > bound) {
            return fail("the table's pages run in a circle");
        }
        RecordingTableElement entry;
        it.read(entry);
        const PagePosition at = it.position();
        const std::string text = entryText(entry, at);
        const bool stop = entry.channelMask().isEmpty();
        if (!elementAt(_storage, entry.position(), element)) {
            return fail(text + " names no timeline element at " + positionText(entry.position()));
        }
        if (element.mediaID() != entry.mediaID() || element.mediaType() != 0) {
            return fail(text + " names timeline element " + std::to_string(element.mediaID()) + " of media type " +
                        std::to_string(element.mediaType()) + ", not its video frame");
        }
        if (!(element.dateTime() == entry.dateTime())) {
            return fail(text + " names an element of " + timeText(element.dateTime()));
        }
        if (!stop && (element.channelMask().word() & ~entry.channelMask().word()) != 0) {
            return fail(text + " lacks the channels of the element it names");
        }
        const bool sectionStart = !havePrevious || entry.sectionID() != previous.sectionID();
        if (havePrevious) {
            const std::string previousText = entryText(previous, previousAt);
            if (entry.mediaID() < previous.mediaID()) {
                return fail(text + " follows " + previousText + " with a smaller media ID");
            }
            if (entry.sectionID() < previous.sectionID()) {
                return fail(text + " follows " + previousText + " with a smaller section ID");
            }
            if (!sectionStart && entry.dateTime() < previous.dateTime()) {
                return fail(text + " goes back in time inside its section after " + previousText);
            }
            if (sectionStart && !previous.channelMask().isEmpty()) {
                return fail("section " + std::to_string(entry.sectionID()) + " begins at " + text +
                            " while section " + std::to_string(previous.sectionID()) + " was not stopped (" +
                            previousText + ")");
            }
            if (previous.channelMask().isEmpty() &&
                (!adjacentVideo(_storage, previous.position(), true, neighbour, neighbourAt) ||
                 !(neighbourAt == entry.position()))) {
                return fail(text + " does not name the video element that follows the stop " + previousText);
            }
            // The chain of previous positions leads to an entry written before
            // (or to one the overwrite removed, before the table's first).
            const PagePosition& link = entry.previousPosition();
            const bool beforeFirst = link.number == firstAt.number && link.offset < firstAt.offset;
            if (!link.isNull() && !beforeFirst && seen.count({link.number, link.offset}) == 0 &&
                std::any_of(seen.begin(), seen.end(), [&](const auto& p) { return p.first == link.number; })) {
                return fail(text + " links to " + positionText(link) + ", where no earlier entry lies");
            }
        } else {
            firstAt = at;
            // The first entry ever written links nowhere; it describes the
            // timeline's first video element (until the overwrite trims both).
            TimelineElement first;
            PagePosition firstVideoAt;
            if (entry.previousPosition().isNull() && firstVideo(_storage, first, firstVideoAt) &&
                !(firstVideoAt == entry.position())) {
                return fail(text + " begins the table but the timeline's first video element is " +
                            std::to_string(first.mediaID()) + " of " + timeText(first.dateTime()) + " at " +
                            positionText(firstVideoAt));
            }
        }
        // (The overwrite of the oldest data may leave a run's stop as the
        // table's first entry, its start gone with the older entries.)
        const bool trimmedHead = !havePrevious && !entry.previousPosition().isNull();
        if (sectionStart && stop && !trimmedHead) {
            return fail("section " + std::to_string(entry.sectionID()) + " begins with the stop " + text);
        }
        if (!stop && !sectionStart && adjacentVideo(_storage, entry.position(), false, neighbour, neighbourAt) &&
            neighbour.dateTime() == entry.dateTime()) {
            return fail(text + " does not name the first video element of its second");
        }
        seen.insert({at.number, at.offset});
        if (sectionStart) {
            if (!_sections.empty() && runOpen) {
                _sections.back().runs.emplace_back(runFrom, _sections.back().last.dateTime());
            }
            runOpen = false;
            Section section;
            section.id = entry.sectionID();
            section.first = entry;
            section.firstAt = at;
            _sections.push_back(section);
        }
        Section& section = _sections.back();
        section.last = entry;
        section.lastAt = at;
        if (!stop && !runOpen) {
            runOpen = true;
            runFrom = entry.dateTime();
        } else if (stop && runOpen) {
            section.runs.emplace_back(runFrom, entry.dateTime());
            runOpen = false;
        }
        previous = entry;
        previousAt = at;
        havePrevious = true;
    }
    if (_sections.empty()) {
        return true;
    }
    // The recording goes on after the last entry: an open run reaches the
    // last video element; after a stop, the elements of one second may wait
    // for their entry (it is written when the next second begins).
    Section& last = _sections.back();
    TrackIterator timeline(_storage, PageType::Timeline);
    std::size_t seconds = 0;
    DateTime firstAfter;
    std::uint64_t firstAfterID = 0;
    DateTime lastAfter;
    if (timeline.seek(last.last.position())) {
        for (std::uint64_t walked = 0; walked < bound && timeline.next(); ++walked) {
            timeline.read(element);
            if (element.mediaType() != 0) {
                continue;
            }
            if (seconds == 0) {
                firstAfter = element.dateTime();
                firstAfterID = element.mediaID();
            }
            if (seconds == 0 || !(lastAfter == element.dateTime())) {
                ++seconds;
                lastAfter = element.dateTime();
            }
            if (!runOpen && seconds > 1) {
                break;
            }
        }
    }
    if (runOpen) {
        last.runs.emplace_back(runFrom, seconds == 0 ? last.last.dateTime() : lastAfter);
    } else if (seconds > 0 && !(last.last.dateTime() < firstAfter)) {
        // Not later than the stop: the first second of a new section.
        _pendingSectionFrom = firstAfterID;
        _pendingSeconds = seconds;
    } else if (seconds == 1) {
        last.runs.emplace_back(firstAfter, firstAfter);
    }
    for (Section& section : _sections) {
        section.runs = merged(section.runs);
    }
    return true;
}

bool RecordingTableVerifier::verifyMemory() {
    const RecordingTable& table = _storage.recordingTable();
    if (!table.isOpen()) {
        return true;
    }
    const std::vector<RecordingSection> memory = table.sections();
    if (memory.size() != _sections.size()) {
        return fail("the storage keeps " + std::to_string(memory.size()) + " sections, its table holds " +
                    std::to_string(_sections.size()));
    }
    for (std::size_t i = 0; i < memory.size(); ++i) {
        const RecordingSection& kept = memory[i];
        const Section& read = _sections[i];
        if (kept.sectionID() != read.id || kept.firstMediaID() != read.first.mediaID() ||
            kept.lastMediaID() != read.last.mediaID() || !(kept.firstPosition() == read.firstAt)) {
            char text[240];
            std::snprintf(text, sizeof text,
                          "the storage keeps section %u with media IDs %llu~%llu from %s, its table section %u "
                          "with %llu~%llu from %s",
                          kept.sectionID(), static_cast<ull>(kept.firstMediaID()), static_cast<ull>(kept.lastMediaID()),
                          positionText(kept.firstPosition()).c_str(), read.id, static_cast<ull>(read.first.mediaID()),
                          static_cast<ull>(read.last.mediaID()), positionText(read.firstAt).c_str());
            return fail(text);
        }
    }
    return true;
}

bool RecordingTableVerifier::verifyTimeline() {
    TrackIterator it(_storage, PageType::Timeline);
    bool more = false;
    if (_sections.empty()) {
        more = it.first();
    } else {
        more = it.seek(_sections.front().first.position());
        if (more && _sections.front().first.channelMask().isEmpty()) {
            // A table that begins with a stop describes the elements after it.
            TimelineElement element;
            PagePosition at;
            more = adjacentVideo(_storage, _sections.front().first.position(), true, element, at) && it.seek(at);
        }
    }
    const bool stopHead = !_sections.empty() && _sections.front().first.channelMask().isEmpty();
    std::vector<std::vector<Interval>> runs(_sections.size());
    std::size_t index = 0;
    bool started = stopHead;
    bool runOpen = false;
    DateTime from;
    DateTime to;
    std::vector<DateTime> untabled;
    const std::uint64_t bound = stepBound(_storage);
    TimelineElement element;
    for (std::uint64_t steps = 0; more && steps < bound; more = it.next(), ++steps) {
        it.read(element);
        if (element.mediaType() != 0) {
            continue;
        }
        const DateTime& time = element.dateTime();
        if (_sections.empty()) {
            // No entry yet: the recording may not have passed its first second.
            if (untabled.empty() || !(untabled.back() == time)) {
                untabled.push_back(time);
            }
            continue;
        }
        if (_pendingSectionFrom != 0 && element.mediaID() >= _pendingSectionFrom) {
            if (_pendingSeconds > 1) {
                return fail("a new section began at video element " + std::to_string(_pendingSectionFrom) +
                            " of " + timeText(time) + " after the table's last entry and has no entry");
            }
            break;
        }
        while (index + 1 < _sections.size() && element.mediaID() >= _sections[index + 1].first.mediaID()) {
            if (runOpen) {
                runs[index].emplace_back(from, to);
            }
            runOpen = false;
            started = false;
            ++index;
        }
        const Section& section = _sections[index];
        if (!started) {
            started = true;
            if (element.mediaID() != section.first.mediaID() || !(it.position() == section.first.position())) {
                return fail("section " + std::to_string(section.id) + " begins at " +
                            entryText(section.first, section.firstAt) + " but its first video element is " +
                            std::to_string(element.mediaID()) + " of " + timeText(time) + " at " +
                            positionText(it.position()));
            }
        }
        if (runOpen && time < to) {
            return fail("time goes back inside section " + std::to_string(section.id) + " at video element " +
                        std::to_string(element.mediaID()) + " (" + timeText(time) + " after " + timeText(to) + ")");
        }
        if (runOpen && !(plus(to, 1) < time)) {
            to = time;
        } else {
            if (runOpen) {
                runs[index].emplace_back(from, to);
            }
            runOpen = true;
            from = time;
            to = time;
        }
    }
    if (_sections.empty()) {
        if (untabled.size() > 1) {
            return fail("the table is empty while the timeline holds video of " + timeText(untabled.front()) + " to " +
                        timeText(untabled.back()));
        }
        return true;
    }
    if (runOpen) {
        runs[index].emplace_back(from, to);
    }
    for (std::size_t i = 0; i < _sections.size(); ++i) {
        const std::vector<Interval> recorded = merged(runs[i]);
        if (recorded.size() != _sections[i].runs.size() ||
            !std::equal(recorded.begin(), recorded.end(), _sections[i].runs.begin(),
                        [](const Interval& a, const Interval& b) { return a.equals(b); })) {
            return fail("section " + std::to_string(_sections[i].id) + " describes " + runsText(_sections[i].runs) +
                        " but its video elements were recorded " + runsText(recorded));
        }
    }
    return true;
}

} // namespace ostrel
