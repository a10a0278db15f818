#include "storage/TextInTrack.h"

#include "base/Trace.h"
#include "storage/Storage.h"
#include "storage/TextInElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>

namespace ostrel {
namespace {

TextInRun runOf(const TextInElement& record, const PagePosition& position) {
    TextInRun run;
    run.from = record.dateTime();
    run.to = record.dateTime();
    run.first = position;
    run.last = position;
    run.firstMediaID = record.mediaID();
    run.lastMediaID = record.mediaID();
    run.sectionID = record.attribute();
    return run;
}

void extend(TextInRun& run, const TextInElement& record, const PagePosition& position) {
    run.last = position;
    run.lastMediaID = record.mediaID();
    run.sectionID = record.attribute();
    run.to = record.dateTime();
}

} // namespace

void TextInTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Mutex::ScopedLock lock(_mutex);
    Track::init(storage, forWrite, lastPage);
    _runs.clear();
    _runStart = PagePosition{};
    _runClosed = false;
    _lastTime = DateTime();
    Page* page = currentPage();
    if (page == nullptr || page->itemCount() == 0) {
        return;
    }
    TextInElement last;
    last.readAt(page->buffer(), page->lastItemOffset());
    if (isWritable() && (last.flags().word() & EndOfRunFlag) == 0) {
        // The run that was open when the storage was closed has ended.
        last.setFlags(BitMask32(last.flags().word() | EndOfRunFlag));
        {
            Mutex::ScopedLock pageLock(page->mutex());
            last.writeAt(page->buffer(), page->lastItemOffset());
        }
        storage.savePage(*page);
    }
    _writeOffset = page->lastItemOffset() + ItemSize;
    // The next record begins a new run, linked to the record that ended this one.
    _runStart = PagePosition{page->pageNumber(), page->lastItemOffset()};
    _runClosed = true;
    _lastTime = last.dateTime();
    rebuildRuns();
}

bool TextInTrack::close(bool flush) {
    Mutex::ScopedLock lock(_mutex);
    const bool ok = Track::close(flush);
    _runs.clear();
    _runStart = PagePosition{};
    _lastTime = DateTime();
    return ok;
}

bool TextInTrack::firstRemainingRecord(TextInElement& record, PagePosition& position) {
    TrackIterator it(*_storage, PageType::TextIn);
    if (!it.first()) {
        return false;
    }
    it.read(record);
    position = it.position();
    return true;
}

void TextInTrack::rebuildRuns() {
    std::vector<TextInRun> reversed;
    TrackIterator it(*_storage, PageType::TextIn);
    if (!it.last()) {
        _runs.clear();
        return;
    }
    const SuperBlock& superBlock = _storage->superBlock();
    const std::uint64_t bound = std::uint64_t{superBlock.pageCount()} * (superBlock.pageSize() / ItemSize) + 1;
    TextInElement last;
    it.read(last);
    PagePosition lastPosition = it.position();
    // Walks back along the run starts: a record names the first record of its
    // run, and the first record names the record that ended the run before.
    for (std::uint64_t steps = 0; steps < bound; ++steps) {
        TextInRun run = runOf(last, lastPosition);
        if (last.runStart().isNull()) {
            reversed.push_back(run);
            break;
        }
        TextInElement first;
        const PagePosition start = last.runStart();
        bool found = it.seek(start);
        if (found) {
            it.read(first);
            found = first.mediaID() <= last.mediaID();
        }
        if (!found) {
            // The run's first record was overwritten: it starts at the first
            // record that is left.
            PagePosition position;
            if (firstRemainingRecord(first, position)) {
                run.from = first.dateTime();
                run.first = position;
                run.firstMediaID = first.mediaID();
            }
            reversed.push_back(run);
            break;
        }
        if (endsRun(first)) {
            // `last` is the first (and only) record of its run.
            reversed.push_back(run);
            last = first;
            lastPosition = start;
            continue;
        }
        run.from = first.dateTime();
        run.first = start;
        run.firstMediaID = first.mediaID();
        reversed.push_back(run);
        if (first.runStart().isNull() || !it.seek(first.runStart())) {
            break;
        }
        TextInElement ender;
        it.read(ender);
        if (ender.mediaID() > first.mediaID()) {
            break;
        }
        last = ender;
        lastPosition = first.runStart();
    }
    _runs.assign(reversed.rbegin(), reversed.rend());
}

bool TextInTrack::endsRun(const TextInElement& record) { return (record.flags().word() & EndOfRunFlag) != 0; }

void TextInTrack::writeStop(std::uint64_t mediaID) {
    if (_runs.empty()) {
        return;
    }
    TextInElement stop;
    stop.setDateTime(_runs.back().to);
    stop.setFrameIndex(0);
    stop.setGopID(0);
    stop.setAttribute(_runs.back().sectionID);
    stop.setChannelMask(BitMask32());
    stop.setMediaID(mediaID);
    stop.setRunStart(_runStart);
    stop.setText("Date Time Changed");
    stop.setFlags(BitMask32(EndOfRunFlag));
    trace("TextInTrack :: WRITE STOP\n");
    const PagePosition position = Track::write(stop);
    _runStart = position;
    _runClosed = true;
    trace("<write> writeStop : _lastUpdatePosition update (%u,%u)\n", position.number, position.offset);
    extend(_runs.back(), stop, position);
}

PagePosition TextInTrack::writeRecord(TextInElement& record) {
    requireWritable();
    Mutex::ScopedLock lock(_mutex);
    if (_lastTime.isSet() &&
        (!(record.dateTime().date() == _lastTime.date()) || record.dateTime().time() < _lastTime.time())) {
        writeStop(record.mediaID());
    }
    record.setRunStart(_runStart);
    const PagePosition position = Track::write(record);
    if (record.runStart().isNull()) {
        trace(" >>> Text-In Track Make <<<\n");
        _runs.push_back(runOf(record, position));
        _runStart = position;
        _runClosed = false;
    } else if (_runClosed || _runs.empty()) {
        trace(" >>> Text-In Track Written Stop Code <<<\n");
        _runs.push_back(runOf(record, position));
        _runStart = position;
        _runClosed = false;
    } else {
        extend(_runs.back(), record, position);
    }
    if (endsRun(record)) {
        // A record marked as the end of its run: the next one begins a new run.
        _runStart = position;
        _runClosed = true;
    }
    _lastTime = record.dateTime();
    return position;
}

bool TextInTrack::overwrite(std::uint64_t before) {
    Mutex::ScopedLock lock(_mutex);
    TextInElement scratch;
    if (!Track::overwrite(before, scratch)) {
        return false;
    }
    _runs.erase(std::remove_if(_runs.begin(), _runs.end(),
                               [before](const TextInRun& run) { return run.lastMediaID < before; }),
                _runs.end());
    TextInElement first;
    PagePosition position;
    if (!_runs.empty() && _runs.front().firstMediaID < before && firstRemainingRecord(first, position)) {
        TextInRun& run = _runs.front();
        run.from = first.dateTime();
        run.first = position;
        run.firstMediaID = first.mediaID();
    }
    return true;
}

void TextInTrack::truncateAfter(std::uint64_t after) {
    Mutex::ScopedLock lock(_mutex);
    TextInElement scratch;
    Track::truncateAfter(after, scratch);
    _runs.clear();
    _runStart = PagePosition{};
    _runClosed = false;
    _lastTime = DateTime();
    const Page* page = currentPage();
    if (page != nullptr && page->itemCount() > 0) {
        TextInElement last;
        last.readAt(page->buffer(), page->lastItemOffset());
        rebuildRuns();
        // The next record begins a new run after what is left.
        _runStart = PagePosition{page->pageNumber(), page->lastItemOffset()};
        _runClosed = true;
        _lastTime = last.dateTime();
    }
}

std::vector<TextInRun> TextInTrack::runs() const {
    Mutex::ScopedLock lock(_mutex);
    return _runs;
}

} // namespace ostrel
