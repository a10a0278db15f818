#include "storage/RecordingTable.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace ostrel {
namespace {

// Whether `later` lies more than one second after `earlier`. Frames with
// times the calendar cannot hold are compared by their fields.
bool laterByMoreThanOneSecond(const DateTime& later, const DateTime& earlier) {
    try {
        return DateTime::secondsBetween(later, earlier) > 1;
    } catch (const Exception&) {
        return later > earlier;
    }
}

DateTime oneSecondBefore(const DateTime& time) {
    DateTime result = time;
    try {
        result.addSeconds(-1);
    } catch (const Exception&) {
        return time;
    }
    return result;
}

} // namespace

RecordingTable::RecordingTable() { resetLast(); }

void RecordingTable::resetLast() { _last = RecordingTableElement(); }

void RecordingTable::resetInternals() {
    resetLast();
    _time = DateTime();
    _reserved = RecordingTableElement();
    _lastWrittenPosition = PagePosition{};
    _lastTimelinePosition = PagePosition{};
    _lastTimelineMediaID = 0;
    _lastMask = BitMask32();
}

void RecordingTable::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    {
        Mutex::ScopedLock lock(_mutex);
        Track::init(storage, forWrite, lastPage);
        _sections.clear();
        resetInternals();
        _sectionID = 1;
        if (lastPage != 0) {
            RecordingTableElement entry;
            PagePosition position;
            if (readLastEntry(entry, position)) {
                _last = entry;
                _sectionID = entry.sectionID() == 0 ? 1 : entry.sectionID();
                _lastWrittenPosition = position;
                _lastMask = entry.channelMask();
            }
            rebuildSections();
        }
        restoreTimelineState();
    }
    if (traceEnabled()) {
        trace("[Section Info]---------------------------------------------\n");
        for (const RecordingSection& section : sections()) {
            trace("[Section #%u] Interval:%s Position: (%u, %u) ~ (%u, %u) Media ID: %llu ~ %llu\n",
                  section.sectionID(), section.interval().toString().c_str(), section.firstPosition().number,
                  section.firstPosition().offset, section.lastPosition().number, section.lastPosition().offset,
                  static_cast<unsigned long long>(section.firstMediaID()),
                  static_cast<unsigned long long>(section.lastMediaID()));
        }
    }
}

bool RecordingTable::close(bool flush) {
    Mutex::ScopedLock lock(_mutex);
    _sections.clear();
    const bool ok = Track::close(flush);
    resetInternals();
    _sectionID = 1;
    return ok;
}

bool RecordingTable::readLastEntry(RecordingTableElement& entry, PagePosition& position) {
    TrackIterator it(*_storage, PageType::RecordingTable);
    if (!it.last()) {
        return false;
    }
    it.read(entry);
    position = it.position();
    return true;
}

void RecordingTable::restoreTimelineState() {
    TrackIterator it(*_storage, PageType::Timeline);
    if (!it.last()) {
        _time = DateTime();
        _lastTimelinePosition = PagePosition{};
        _lastTimelineMediaID = 0;
        return;
    }
    TimelineElement element;
    it.read(element);
    _time = element.dateTime();
    _lastTimelinePosition = it.position();
    _lastTimelineMediaID = element.mediaID();
    if (element.mediaType() == 0 || _last.channelMask().isEmpty()) {
        return;
    }
    // The timeline ends with audio or text-in. A stop entry written before the
    // next video frame must still name the last video element (the check at
    // open requires a closing entry to do so), so look back for it. The walk
    // ends at the video element the table's last entry names, which bounds it
    // to the elements recorded since that entry.
    const PagePosition bound = _last.position();
    while (it.previous()) {
        it.read(element);
        if (element.mediaType() == 0 || it.position() == bound) {
            _lastTimelinePosition = it.position();
            _lastTimelineMediaID = element.mediaID();
            return;
        }
    }
}

void RecordingTable::rebuildSections() {
    std::map<std::uint32_t, RecordingSection> sections;
    struct Link {
        RecordingTableElement entry;
        PagePosition position;
        std::uint32_t checksum;
    };
    std::vector<Link> chain;
    TrackIterator it(*_storage, PageType::RecordingTable);
    if (it.last()) {
        const SuperBlock& superBlock = _storage->superBlock();
        const std::uint64_t bound =
            std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / ItemSize) + 1;
        RecordingTableElement entry;
        it.read(entry);
        chain.push_back(Link{entry, it.position(), it.page().checksum()});
        while (chain.size() < bound) {
            const PagePosition previous = chain.back().entry.previousPosition();
            const PagePosition here = chain.back().position;
            if (previous.isNull() || (previous.number == here.number && previous.offset >= here.offset)) {
                break;
            }
            // A previous entry the overwrite removed (before the first item of
            // its page, or in a page that holds other data now) ends the walk.
            if (!it.seek(previous)) {
                break;
            }
            it.read(entry);
            if (entry.mediaID() > chain.back().entry.mediaID()) {
                break;
            }
            chain.push_back(Link{entry, previous, it.page().checksum()});
        }
    }
    for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
        const std::uint32_t id = link->entry.sectionID();
        auto section = sections.find(id);
        if (section == sections.end()) {
            trace("CREATE: (%u, %u) [%u]\n", link->position.number, link->position.offset, id);
            section = sections.emplace(id, RecordingSection(id)).first;
        }
        section->second.add(link->entry, link->position, link->checksum);
    }
    _sections.swap(sections);
}

void RecordingTable::writeEntry(const RecordingTableElement& entry, bool continuation) {
    RecordingTableElement copy = entry;
    const PagePosition position = Track::write(copy);
    const std::uint32_t checksum = _current->checksum();
    auto section = _sections.find(entry.sectionID());
    const bool created = section == _sections.end();
    if (created) {
        section = _sections.emplace(entry.sectionID(), RecordingSection(entry.sectionID())).first;
    }
    section->second.add(entry, position, checksum);
    if (!continuation) {
        _lastWrittenPosition = position;
    } else if (position.number != _lastWrittenPosition.number) {
        trace("Recording Table Page Changed FROM %u TO %u\n", _lastWrittenPosition.number, position.number);
        _lastWrittenPosition = position;
    }
    _last = entry;
    _lastMask = entry.channelMask();
    if (created) {
        // Told after the table's lock is released (the storage logs and
        // flushes, and its listeners may ask the table).
        _newSections.push_back(entry.sectionID());
    }
}

void RecordingTable::writeStop() {
    if (isEmpty() || _last.channelMask().isEmpty()) {
        return;
    }
    RecordingTableElement stop;
    stop.setDateTime(_time);
    stop.setChannelMask(BitMask32());
    stop.setPosition(_lastTimelinePosition);
    // The stop describes the last element processed: its media ID, so that
    // the section's media IDs reach its last recorded frame.
    stop.setMediaID(_lastTimelineMediaID != 0 ? _lastTimelineMediaID : _last.mediaID());
    stop.setPreviousPosition(_lastWrittenPosition);
    stop.setSectionID(_sectionID);
    stop.setPreviousChannelMask(_lastMask);
    trace("WRITE STOP\n");
    writeEntry(stop, false);
}

void RecordingTable::writePending() {
    if (_reserved.dateTime().isSet()) {
        if (!(_reserved.channelMask() == _last.channelMask())) {
            writeEntry(_reserved, false);
        } else if (_reserved.position().number != _last.position().number) {
            writeEntry(_reserved, true);
        }
        _reserved = RecordingTableElement();
    }
    writeStop();
}

void RecordingTable::drainSectionChanges() {
    std::vector<std::uint32_t> changed;
    {
        Mutex::ScopedLock lock(_mutex);
        changed.swap(_newSections);
    }
    for (const std::uint32_t id : changed) {
        _storage->recordingSectionChanged(id);
    }
}

void RecordingTable::update(const TimelineElement& element, const PagePosition& position) {
    requireWritable();
    {
        Mutex::ScopedLock lock(_mutex);
        updateLocked(element, position);
    }
    drainSectionChanges();
}

void RecordingTable::updateLocked(const TimelineElement& element, const PagePosition& position) {
    const DateTime& time = element.dateTime();
    if (_time.isSet() && (time < _time || (time == _time && _last.dateTime() == time &&
                                           _last.channelMask().isEmpty()))) {
        nextSectionLocked(_sectionID + 1);
    }
    if (_time.isSet()) {
        if (time == _time) {
            _reserved.setChannelMask(BitMask32(_reserved.channelMask().word() | element.channelMask().word()));
            _time = time;
            _lastTimelinePosition = position;
            _lastTimelineMediaID = element.mediaID();
            return;
        }
        const bool pause = laterByMoreThanOneSecond(time, _time) && !_last.channelMask().isEmpty();
        if (_reserved.dateTime().isSet()) {
            if (!(_reserved.channelMask() == _last.channelMask())) {
                trace("WRITE RESERVED: (%u, %u) %u %s\n", _reserved.position().number, _reserved.position().offset,
                      _reserved.channelMask().word(), _reserved.dateTime().toString().c_str());
                writeEntry(_reserved, false);
            } else if (!(_reserved.dateTime().date() == time.date()) && !pause) {
                trace("WRITE END OF DATE: %s\n", _reserved.dateTime().toString().c_str());
                writeEntry(_reserved, false);
            } else if (_reserved.position().number != _last.position().number) {
                trace("WRITE CONTINUOUS: %s\n", _reserved.dateTime().toString().c_str());
                writeEntry(_reserved, true);
            }
            _reserved = RecordingTableElement();
        }
        if (pause) {
            writeStop();
        }
    }
    _reserved = RecordingTableElement();
    _reserved.setDateTime(time);
    _reserved.setChannelMask(element.channelMask());
    _reserved.setPosition(position);
    _reserved.setMediaID(element.mediaID());
    _reserved.setPreviousPosition(_lastWrittenPosition);
    _reserved.setSectionID(_sectionID);
    _reserved.setPreviousChannelMask(_lastMask);
    _time = time;
    _lastTimelinePosition = position;
    _lastTimelineMediaID = element.mediaID();
}

void RecordingTable::nextSectionLocked(std::uint32_t sectionID) {
    writePending();
    _time = DateTime();
    resetLast();
    _sectionID = sectionID;
}

void RecordingTable::setNextSectionID(std::uint32_t sectionID) {
    requireWritable();
    {
        Mutex::ScopedLock lock(_mutex);
        nextSectionLocked(sectionID);
    }
    drainSectionChanges();
}

void RecordingTable::flushPending() {
    if (!isWritable()) {
        return;
    }
    {
        Mutex::ScopedLock lock(_mutex);
        writePending();
    }
    drainSectionChanges();
}

std::uint32_t RecordingTable::firstSectionID() const {
    Mutex::ScopedLock lock(_mutex);
    return _sections.empty() ? 0 : _sections.begin()->first;
}

std::uint32_t RecordingTable::lastSectionID() const {
    Mutex::ScopedLock lock(_mutex);
    return _sectionID;
}

bool RecordingTable::overwrite(std::uint64_t before) {
    Mutex::ScopedLock lock(_mutex);
    RecordingTableElement scratch;
    if (!Track::overwrite(before, scratch)) {
        return false;
    }
    for (auto it = _sections.begin(); it != _sections.end();) {
        if (it->second.lastMediaID() < before) {
            it = _sections.erase(it);
        } else {
            ++it;
        }
    }
    if (isEmpty()) {
        _sections.clear();
        return true;
    }
    Page* first = firstPage();
    if (first != nullptr && first->itemCount() > 0) {
        RecordingTableElement entry;
        entry.readAt(first->buffer(), first->firstItemOffset());
        const PagePosition position{first->pageNumber(), first->firstItemOffset()};
        for (auto& [id, section] : _sections) {
            if (section.firstMediaID() < before) {
                section.trimBefore(entry, position, first->checksum());
            }
        }
    }
    return true;
}

void RecordingTable::removeAfter(Page& page, std::uint64_t after, IRecordable& item) {
    if (!_rollingBack) {
        Track::removeAfter(page, after, item);
        return;
    }
    Mutex::ScopedLock pageLock(page.mutex());
    if (page.next() != 0 || page.nextChecksum() != 0) {
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
    }
    const std::uint32_t count = page.itemCount();
    RecordingTableElement entry;
    if (count > 0) {
        entry.readAt(page.buffer(), page.lastItemOffset());
    }
    if (count == 0 || (page.lastItemID() <= after && entry.dateTime() < _rollbackTime)) {
        _writeOffset = count == 0 ? page.firstItemOffset() : page.lastItemOffset() + ItemSize;
        _cursor = PagePosition{page.pageNumber(), _writeOffset};
        return;
    }
    const std::uint32_t section = std::min(_rollbackSection, entry.sectionID());
    std::uint32_t kept = 0;
    std::uint32_t offset = page.firstItemOffset();
    std::vector<RecordingTableElement> keptEntries;
    while (kept < count) {
        entry.readAt(page.buffer(), offset);
        if (entry.mediaID() > after || (entry.sectionID() == section && !(entry.dateTime() < _rollbackTime))) {
            break;
        }
        keptEntries.push_back(entry);
        offset += ItemSize;
        ++kept;
    }
    if (kept > 0 && keptEntries.back().channelMask().isEmpty()) {
        keptEntries.pop_back();
        --kept;
    }
    std::uint32_t mask = 0;
    for (const RecordingTableElement& e : keptEntries) {
        mask |= e.channelMask().word();
    }
    const std::uint32_t lastOffset = kept > 0 ? page.firstItemOffset() + (kept - 1) * ItemSize : Page::IndexData;
    trace("RecordingTable::removeAfter : page %s %u updated : last = %u -> %u\n", pageType().toString().c_str(),
          page.pageNumber(), page.lastItemOffset(), lastOffset);
    page.setItemCount(kept);
    page.setChannelMask(BitMask32(mask));
    page.setLastItemID(kept > 0 ? keptEntries.back().mediaID() : 0);
    page.setLastItemOffset(lastOffset);
    if (kept == 0) {
        page.setFirstItemID(0);
        page.setFirstItemOffset(Page::IndexData);
        _writeOffset = Page::IndexData;
    } else {
        _writeOffset = lastOffset + ItemSize;
    }
    _cursor = PagePosition{page.pageNumber(), _writeOffset};
}

void RecordingTable::rollback(std::uint32_t sectionID, std::uint64_t after) {
    requireWritable();
    {
        Mutex::ScopedLock lock(_mutex);
        _reserved = RecordingTableElement();
        PagePosition replayFrom;
        bool replay = true;
        if (!isEmpty()) {
            TrackIterator timeline(*_storage, PageType::Timeline);
            _rollbackTime = DateTime();
            if (timeline.last()) {
                TimelineElement element;
                timeline.read(element);
                _rollbackTime = element.dateTime();
            }
            _rollbackSection = sectionID;
            _rollingBack = true;
            RecordingTableElement scratch;
            try {
                Track::truncateAfter(after, scratch);
            } catch (...) {
                _rollingBack = false;
                throw;
            }
            _rollingBack = false;
        }
        RecordingTableElement entry;
        PagePosition position;
        if (!isEmpty() && readLastEntry(entry, position)) {
            _last = entry;
            _lastWrittenPosition = position;
            _lastMask = entry.channelMask();
            _time = entry.dateTime();
            _lastTimelinePosition = entry.position();
            _lastTimelineMediaID = entry.mediaID();
            rebuildSections();
            char line[320];
            std::snprintf(line, sizeof line,
                          "[TRUNCATE_AFTER] last: id=%llu %s mask=%u prev=%u position=(%u, %u) prevPosition=(%u, %u)",
                          static_cast<unsigned long long>(entry.mediaID()), entry.dateTime().toString().c_str(),
                          entry.channelMask().word(), entry.previousChannelMask().word(), entry.position().number,
                          entry.position().offset, entry.previousPosition().number, entry.previousPosition().offset);
            _storage->log(line, 2, false);
            std::snprintf(line, sizeof line,
                          "RecordingTable::updateInternals : last.id = %llu, mask = %u, prevMask = %u, position = "
                          "(%u, %u), prevPosition = (%u, %u),",
                          static_cast<unsigned long long>(entry.mediaID()), entry.channelMask().word(),
                          entry.previousChannelMask().word(), entry.position().number, entry.position().offset,
                          entry.previousPosition().number, entry.previousPosition().offset);
            _storage->log(line, 2, false);
            replayFrom = entry.position();
            replay = !replayFrom.isNull();
        } else {
            _sections.clear();
            resetInternals();
            _storage->log("RecordingTable::resetInternals", 2, false);
        }
        if (replay) {
            replayTimeline(replayFrom);
        }
    }
    drainSectionChanges();
}

void RecordingTable::replayTimeline(const PagePosition& from) {
    TrackIterator it(*_storage, PageType::Timeline);
    if (from.isNull() ? !it.first() : !it.seek(from)) {
        return;
    }
    TimelineElement element;
    bool advancing = !from.isNull();
    DateTime start;
    if (advancing) {
        it.read(element);
        start = element.dateTime();
    }
    const std::uint64_t bound = std::uint64_t{_storage->superBlock().pageCount()} *
                                    (_storage->superBlock().pageSize() / ItemSize) +
                                1;
    std::uint64_t steps = 0;
    do {
        it.read(element);
        if (element.mediaType() != 0) {
            continue;
        }
        if (advancing && element.dateTime() == start) {
            _time = element.dateTime();
            _lastTimelinePosition = it.position();
            _lastTimelineMediaID = element.mediaID();
            continue;
        }
        advancing = false;
        updateLocked(element, it.position());
    } while (++steps < bound && it.next());
    if (_reserved.dateTime().isSet()) {
        char line[200];
        std::snprintf(line, sizeof line, "[ROLLBACK]reserved updated : %llu (%u, %u) %u %s",
                      static_cast<unsigned long long>(_reserved.mediaID()), _reserved.position().number,
                      _reserved.position().offset, _reserved.channelMask().word(),
                      _reserved.dateTime().toString().c_str());
        _storage->log(line, 2, false);
        trace("RecordingTable::rollback : reserved rollbacked \n");
    }
}

bool RecordingTable::recordingInterval(Interval& out) const {
    Mutex::ScopedLock lock(_mutex);
    bool any = false;
    DateTime from;
    DateTime to;
    for (const auto& [id, section] : _sections) {
        const Interval interval = section.interval();
        if (!interval.from().isSet()) {
            continue;
        }
        if (!any || interval.from() < from) {
            from = interval.from();
        }
        if (!any || interval.to() > to) {
            to = interval.to();
        }
        any = true;
    }
    if (!any) {
        return false;
    }
    if (_time.isSet() && _time > to) {
        to = _time;
    }
    out = Interval(from, to);
    return true;
}

std::vector<RecordingSection> RecordingTable::sections() const {
    Mutex::ScopedLock lock(_mutex);
    std::vector<RecordingSection> result;
    result.reserve(_sections.size());
    for (const auto& [id, section] : _sections) {
        result.push_back(section);
    }
    return result;
}

void RecordingTable::recordingTimeTable(BitMask32 mask, const Interval& interval,
                                        std::vector<RecordingRun>& out) const {
    if (!isOpen()) {
        return;
    }
    std::vector<RecordingSection> copies;
    std::uint32_t current = 0;
    DateTime liveTime;
    {
        Mutex::ScopedLock lock(_mutex);
        for (const auto& [id, section] : _sections) {
            copies.push_back(section);
        }
        current = _sectionID;
        liveTime = _time;
    }
    const SuperBlock& superBlock = _storage->superBlock();
    const std::uint64_t bound = std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / ItemSize) + 1;
    auto overlaps = [&interval](const DateTime& from, const DateTime& to) {
        return !(to < interval.from()) && !(from > interval.to());
    };
    TrackIterator it(*_storage, PageType::RecordingTable);
    for (const RecordingSection& section : copies) {
        const Interval whole = section.interval();
        DateTime sectionEnd = section.lastTime();
        if (section.sectionID() == current && liveTime.isSet() && liveTime > sectionEnd) {
            sectionEnd = liveTime;
        }
        if (!whole.from().isSet() || !overlaps(whole.from(), sectionEnd)) {
            continue;
        }
        std::vector<RecordingTableElement> entries;
        if (it.seek(section.firstPosition())) {
            const PagePosition last = section.lastPosition();
            std::uint64_t steps = 0;
            do {
                RecordingTableElement entry;
                it.read(entry);
                if (entry.sectionID() == section.sectionID()) {
                    entries.push_back(entry);
                }
                if (it.position() == last) {
                    break;
                }
            } while (++steps < bound && it.next());
        }
        if (entries.empty() || !entries.back().channelMask().isEmpty()) {
            trace("Section %u STOP ADDED\n", section.sectionID());
            RecordingTableElement stop;
            stop.setDateTime(sectionEnd);
            stop.setSectionID(section.sectionID());
            entries.push_back(stop);
        }
        bool open = false;
        RecordingRun run;
        for (const RecordingTableElement& entry : entries) {
            const BitMask32 entryMask(entry.channelMask().word() & mask.word());
            if (open && entryMask == run.mask && !entry.channelMask().isEmpty()) {
                // A continuation of the same channels: the run goes on.
                continue;
            }
            if (open) {
                const DateTime end =
                    entry.channelMask().isEmpty() ? entry.dateTime() : oneSecondBefore(entry.dateTime());
                run.interval = Interval(run.interval.from(), end);
                if (overlaps(run.interval.from(), run.interval.to())) {
                    out.push_back(run);
                }
                open = false;
            }
            if (!entryMask.isEmpty()) {
                run.sectionID = section.sectionID();
                run.mask = entryMask;
                run.interval = Interval(entry.dateTime(), entry.dateTime());
                open = true;
            }
        }
    }
}

} // namespace ostrel
