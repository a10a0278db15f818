#include "storage/RecordingTable.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/FreePageList.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/TruncateAfterTransaction.h"

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
    // The entries in the order they were written: the table's own chain of
    // previous positions skips the continuations of a page and may lead into
    // pages the overwrite freed, so the sections are read from the pages.
    std::map<std::uint32_t, RecordingSection> sections;
    TrackIterator it(*_storage, PageType::RecordingTable);
    const SuperBlock& superBlock = _storage->superBlock();
    const std::uint64_t bound = std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / ItemSize) + 1;
    std::uint64_t steps = 0;
    for (bool more = it.first(); more && steps < bound; more = it.next(), ++steps) {
        RecordingTableElement entry;
        it.read(entry);
        const std::uint32_t id = entry.sectionID();
        auto section = sections.find(id);
        if (section == sections.end()) {
            trace("CREATE: (%u, %u) [%u]\n", it.position().number, it.position().offset, id);
            section = sections.emplace(id, RecordingSection(id)).first;
        }
        section->second.add(entry, it.position(), it.page().checksum());
    }
    _sections.swap(sections);
}

RecordingTable::State RecordingTable::state() const {
    return State{_last, _time, _reserved, _lastWrittenPosition, _lastTimelinePosition, _lastTimelineMediaID,
                 _sectionID, _lastMask};
}

void RecordingTable::setState(const State& state) {
    _last = state.last;
    _time = state.time;
    _reserved = state.reserved;
    _lastWrittenPosition = state.lastWrittenPosition;
    _lastTimelinePosition = state.lastTimelinePosition;
    _lastTimelineMediaID = state.lastTimelineMediaID;
    _sectionID = state.sectionID;
    _lastMask = state.lastMask;
}

void RecordingTable::writeEntry(const RecordingTableElement& entry, bool continuation) {
    if (_dryRun) {
        _wouldWrite = true;
        return;
    }
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
        // A pause after recorded channels: those of the last entry, or of a
        // first second not written yet (a section's first entry is written
        // only when its next second begins, so a gap right after it would
        // otherwise run the section's first second into the next one).
        const bool pause = laterByMoreThanOneSecond(time, _time) &&
                           (!_last.channelMask().isEmpty() ||
                            (_reserved.dateTime().isSet() && !_reserved.channelMask().isEmpty()));
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
        if (isEmpty()) {
            // No entry yet: there is no section to close. The second in
            // progress, if any, is the first of the section that begins.
            _reserved.setSectionID(sectionID);
            _sectionID = sectionID;
        } else {
            nextSectionLocked(sectionID);
        }
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

namespace {

// The timeline's last element, and its last video element.
struct TimelineEnd {
    bool any = false;
    std::uint64_t lastID = 0;
    bool video = false;
    TimelineElement lastVideo;
    PagePosition lastVideoPosition;
};

TimelineEnd timelineEnd(Storage& storage) {
    TimelineEnd end;
    TrackIterator it(storage, PageType::Timeline);
    if (!it.last()) {
        return end;
    }
    TimelineElement element;
    it.read(element);
    end.any = true;
    end.lastID = element.mediaID();
    const SuperBlock& superBlock = storage.superBlock();
    const std::uint64_t bound = std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / 64) + 1;
    std::uint64_t steps = 0;
    do {
        it.read(element);
        if (element.mediaType() == 0) {
            end.video = true;
            end.lastVideo = element;
            end.lastVideoPosition = it.position();
            break;
        }
    } while (++steps < bound && it.previous());
    return end;
}

} // namespace

bool RecordingTable::describesTimeline(const RecordingTableElement& entry) {
    TrackIterator it(*_storage, PageType::Timeline);
    const PagePosition& position = entry.position();
    if (!it.seek(position) || (position.offset - it.page().firstItemOffset()) % ItemSize != 0) {
        return false;
    }
    TimelineElement element;
    it.read(element);
    // The time as well: media IDs are handed out again after a cut, and a
    // table page saved before the timeline page it describes may name an
    // element that another frame with the same ID had (a stop carries the
    // time of the element it names too).
    return element.mediaID() == entry.mediaID() && element.mediaType() == 0 &&
           element.dateTime() == entry.dateTime();
}

void RecordingTable::restoreFrom(const RecordingTableElement& entry, const PagePosition& position) {
    _last = entry;
    _lastMask = entry.channelMask();
    _lastWrittenPosition = position;
    _time = entry.dateTime();
    _lastTimelinePosition = entry.position();
    _lastTimelineMediaID = entry.mediaID();
    _sectionID = entry.sectionID() == 0 ? 1 : entry.sectionID();
    _reserved = RecordingTableElement();
}

void RecordingTable::cutAfter(const PagePosition& keep) {
    if (isEmpty()) {
        return;
    }
    if (keep.isNull()) {
        // Media IDs start at 1: every entry lies after 0.
        RecordingTableElement scratch;
        Track::truncateAfter(0, scratch);
        return;
    }
    FreePageList pages(0xFFFFFFFF);
    while (_current->pageNumber() != keep.number) {
        const std::uint32_t number = _current->pageNumber();
        const std::uint32_t previous = _current->previous();
        if (previous == 0) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "recording table entry (" + std::to_string(keep.number) + ", " +
                                      std::to_string(keep.offset) + ") is not in the table's chain");
        }
        const std::uint32_t previousChecksum = _current->previousChecksum();
        if (_overwritePage.pageNumber() == previous) {
            _overwritePage.release();
        }
        Page& other = otherPage();
        loadLinked(other, previous, previousChecksum, false);
        if (other.next() != number) {
            other.release();
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "recording table page " + std::to_string(previous) +
                                      " does not link to its successor " + std::to_string(number));
        }
        pages.add(number, number);
        trace("RecordingTable::cutAfter : free %u\n", number);
        _current->release();
        _current = &other;
    }
    Page& page = *_current;
    bool changed = !pages.isEmpty();
    {
        Mutex::ScopedLock pageLock(page.mutex());
        const std::uint32_t first = page.firstItemOffset();
        if (page.itemCount() == 0 || keep.offset < first || (keep.offset - first) % ItemSize != 0 ||
            keep.offset > page.lastItemOffset()) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "recording table page " + std::to_string(page.pageNumber()) +
                                      " holds no entry at offset " + std::to_string(keep.offset));
        }
        if (page.next() != 0 || page.nextChecksum() != 0) {
            page.setNext(0);
            page.setNextChecksum(Page::InvalidPageChecksum);
            changed = true;
        }
        const std::uint32_t kept = (keep.offset - first) / ItemSize + 1;
        if (kept != page.itemCount()) {
            std::uint32_t mask = 0;
            RecordingTableElement entry;
            for (std::uint32_t i = 0; i < kept; ++i) {
                entry.readAt(page.buffer(), first + i * ItemSize);
                mask |= entry.channelMask().word();
            }
            trace("RecordingTable::removeAfter : page %s %u updated : last = %u -> %u\n",
                  pageType().toString().c_str(), page.pageNumber(), page.lastItemOffset(), keep.offset);
            page.setItemCount(kept);
            page.setChannelMask(BitMask32(mask));
            page.setLastItemID(entry.mediaID());
            page.setLastItemOffset(keep.offset);
            changed = true;
        }
    }
    _writeOffset = keep.offset + ItemSize;
    _cursor = PagePosition{page.pageNumber(), _writeOffset};
    if (changed) {
        TruncateAfterTransaction(*_storage, pages, page).run();
        _storage->setTrackLast(pageType(), page.pageNumber(), page.checksum());
    }
}

std::uint32_t RecordingTable::resynchronize(std::uint32_t sectionHint, std::uint64_t after) {
    _reserved = RecordingTableElement();
    const TimelineEnd end = timelineEnd(*_storage);
    // This storage holds the frame the cut is made after (the timeline was
    // cut there), so that frame's section is known.
    const bool holdsCut = end.any && end.lastID == after;
    const DateTime lastSecond = end.video ? end.lastVideo.dateTime() : DateTime();

    // The entry to keep: the newest that lies at or before the cut and
    // describes the timeline. Entries of its section that describe the last
    // second recorded go as well: that second may have lost frames, and the
    // replay rebuilds it from the elements left; but the first entry of a
    // section stays, since it alone tells where the section began.
    bool found = false;
    RecordingTableElement keep;
    PagePosition keepAt;
    if (!isEmpty()) {
        TrackIterator it(*_storage, PageType::RecordingTable);
        RecordingTableElement entry;
        for (bool more = it.last(); more; more = it.previous()) {
            it.read(entry);
            if (entry.mediaID() <= after && describesTimeline(entry)) {
                found = true;
                keep = entry;
                keepAt = it.position();
                break;
            }
        }
        // (An entry later than the last second lies before time went back:
        // the elements after it belong to a newer section.)
        const std::uint32_t section = keep.sectionID();
        while (found && lastSecond.isSet() && keep.dateTime() == lastSecond) {
            if (!it.previous()) {
                break;
            }
            it.read(entry);
            if (entry.sectionID() != section) {
                break;
            }
            keep = entry;
            keepAt = it.position();
        }
    }
    cutAfter(found ? keepAt : PagePosition{});

    // A section that began after the last entry left: the cut frame's
    // section is newer than that entry's, and the entry closed its section.
    const bool newSection = found && holdsCut && sectionHint > keep.sectionID() && keep.channelMask().isEmpty();
    std::uint32_t replayed = 0;
    if (found) {
        restoreFrom(keep, keepAt);
        rebuildSections();
        logInternals(keep);
        if (newSection) {
            _time = DateTime();
            resetLast();
            _sectionID = sectionHint;
        }
        // After a stop every element is news: one of the stop's own second
        // begins a new section (as when recording goes on after a close).
        replayed = replayTimeline(keep.position(), !newSection && !keep.channelMask().isEmpty());
    } else {
        const std::uint32_t sectionID = _sectionID;
        _sections.clear();
        resetInternals();
        _sectionID = holdsCut && sectionHint != 0 ? sectionHint : sectionID;
        _storage->log("RecordingTable::resetInternals", 2, false);
        replayed = replayTimeline(PagePosition{}, false);
    }
    if (_reserved.dateTime().isSet()) {
        char line[200];
        std::snprintf(line, sizeof line, "[ROLLBACK]reserved updated : %llu (%u, %u) %u %s",
                      static_cast<unsigned long long>(_reserved.mediaID()), _reserved.position().number,
                      _reserved.position().offset, _reserved.channelMask().word(),
                      _reserved.dateTime().toString().c_str());
        _storage->log(line, 2, false);
        trace("RecordingTable::rollback : reserved rollbacked \n");
    }
    return replayed;
}

void RecordingTable::logInternals(const RecordingTableElement& entry) {
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
}

void RecordingTable::rollback(std::uint32_t sectionID, std::uint64_t after) {
    requireWritable();
    {
        Mutex::ScopedLock lock(_mutex);
        resynchronize(sectionID, after);
    }
    drainSectionChanges();
}

std::uint32_t RecordingTable::rebuildFromTimeline() {
    requireWritable();
    std::uint32_t replayed = 0;
    {
        Mutex::ScopedLock lock(_mutex);
        const TimelineEnd end = timelineEnd(*_storage);
        replayed = resynchronize(0, end.any ? end.lastID : 0);
    }
    drainSectionChanges();
    return replayed;
}

bool RecordingTable::isBehindTimeline() {
    Mutex::ScopedLock lock(_mutex);
    if (!isOpen()) {
        return false;
    }
    const State saved = state();
    RecordingTableElement last;
    PagePosition at;
    bool behind = false;
    if (readLastEntry(last, at)) {
        if (!describesTimeline(last)) {
            behind = true;
        } else {
            restoreFrom(last, at);
        }
    } else {
        resetInternals();
    }
    if (!behind) {
        _dryRun = true;
        _wouldWrite = false;
        try {
            if (last.position().isNull()) {
                replayTimeline(PagePosition{}, false);
            } else {
                replayTimeline(last.position(), !last.channelMask().isEmpty());
            }
        } catch (...) {
            _dryRun = false;
            setState(saved);
            throw;
        }
        _dryRun = false;
        behind = _wouldWrite;
    }
    setState(saved);
    return behind;
}

void RecordingTable::resumeFromTimeline() {
    if (!isWritable()) {
        return;
    }
    {
        Mutex::ScopedLock lock(_mutex);
        RecordingTableElement last;
        PagePosition at;
        if (!readLastEntry(last, at)) {
            const std::uint32_t sectionID = _sectionID;
            resetInternals();
            _sectionID = sectionID;
            replayTimeline(PagePosition{}, false);
        } else if (!describesTimeline(last)) {
            // Left so by an open that did not rebuild the table.
            const TimelineEnd end = timelineEnd(*_storage);
            resynchronize(0, end.any ? end.lastID : 0);
        } else {
            restoreFrom(last, at);
            replayTimeline(last.position(), !last.channelMask().isEmpty());
        }
    }
    drainSectionChanges();
}

std::uint32_t RecordingTable::replayTimeline(const PagePosition& from, bool skipSecond) {
    TrackIterator it(*_storage, PageType::Timeline);
    bool more = from.isNull() ? it.first() : it.seek(from) && it.next();
    const DateTime second = _time;
    bool skipping = skipSecond && second.isSet();
    const std::uint64_t bound = std::uint64_t{_storage->superBlock().pageCount()} *
                                    (_storage->superBlock().pageSize() / ItemSize) +
                                1;
    std::uint64_t steps = 0;
    std::uint32_t fed = 0;
    TimelineElement element;
    for (; more && steps < bound; more = it.next(), ++steps) {
        it.read(element);
        if (element.mediaType() != 0) {
            continue;
        }
        if (skipping && element.dateTime() == second) {
            _lastTimelinePosition = it.position();
            _lastTimelineMediaID = element.mediaID();
            continue;
        }
        skipping = false;
        updateLocked(element, it.position());
        ++fed;
        if (_dryRun && _wouldWrite) {
            break;
        }
    }
    return fed;
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
