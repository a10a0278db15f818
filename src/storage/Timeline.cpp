#include "storage/Timeline.h"

#include "base/Trace.h"
#include "storage/FreePageList.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/OverwriteTransaction.h"

#include <string>

namespace ostrel {

void Timeline::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Track::init(storage, forWrite, lastPage);
    clearTables();
    if (isWritable() && lastPage != 0) {
        rebuildTables();
        if (_current->previous() != 0) {
            firstPage();
        }
    }
}

bool Timeline::close(bool flush) {
    const bool ok = Track::close(flush);
    clearTables();
    return ok;
}

void Timeline::clearTables() {
    _keyFrames.clear();
    for (auto& table : _previous) {
        table.clear();
    }
}

void Timeline::rebuildTables() {
    const Page* page = currentPage();
    if (page == nullptr || page->itemCount() == 0) {
        return;
    }
    std::uint32_t pending = page->channelMask().word();
    TimelineElement element;
    for (std::uint32_t i = page->itemCount(); i-- > 0 && pending != 0;) {
        const std::uint32_t offset = page->firstItemOffset() + i * ItemSize;
        element.readAt(page->buffer(), offset);
        const std::uint16_t type = element.mediaType();
        if (type >= _previous.size()) {
            continue;
        }
        const std::uint32_t mask = element.channelMask().word();
        auto& table = _previous[type];
        if (table.find(mask) == table.end()) {
            table[mask] = PagePosition{page->pageNumber(), offset};
            if (type == 0) {
                _keyFrames[mask] = KeyFrame{element.gopID(), element.frameIndex()};
                pending &= ~mask;
            }
        }
    }
}

PagePosition Timeline::write(TimelineElement& element) {
    requireWritable();
    const std::uint32_t mask = element.channelMask().word();
    bool indexed = element.frameIndex() == 0 || element.mediaType() == 3;
    if (!indexed) {
        const auto key = _keyFrames.find(mask);
        indexed = key != _keyFrames.end() && key->second.gopID == element.gopID() &&
                  std::uint32_t{key->second.frameIndex} + 1 == element.frameIndex();
    }
    if (!indexed) {
        trace("[IGNORE] Timeline::write() NEED KEY %llu\n", static_cast<unsigned long long>(element.mediaID()));
        return PagePosition{};
    }
    const std::uint16_t type = element.mediaType();
    PagePosition previous;
    if (type < _previous.size()) {
        previous = _previous[type][mask];
    }
    element.setPreviousPosition(previous);
    const PagePosition position = Track::write(element);
    if (type < _previous.size()) {
        _previous[type][mask] = position;
    }
    if (type == 0) {
        _keyFrames[mask] = KeyFrame{element.gopID(), element.frameIndex()};
    }
    if (!_overwritePage.isLoaded() && _current->isLoaded() && _current->previous() != 0) {
        firstPage();
    }
    return position;
}

void Timeline::truncateAfter(std::uint64_t after) {
    TimelineElement scratch;
    Track::truncateAfter(after, scratch);
    clearTables();
    if (!isEmpty()) {
        rebuildTables();
    }
}

bool Timeline::overwrite(std::uint64_t before) {
    TimelineElement scratch;
    return Track::overwrite(before, scratch);
}

void Timeline::dropFirstPage() {
    requireWritable();
    if (isEmpty()) {
        return;
    }
    Page* first = firstPage();
    if (first == nullptr) {
        return;
    }
    FreePageList pages(0xFFFFFFFF);
    const std::uint32_t number = first->pageNumber();
    pages.add(number, number);
    if (first->next() == 0) {
        deleteTrack(pages);
        clearTables();
        return;
    }
    std::uint32_t nextNumber = first->next();
    const std::uint32_t nextChecksum = first->nextChecksum();
    const std::uint32_t firstChecksum = first->checksum();
    Page* linked = nullptr;
    try {
        linked = &loadPageToOverwrite(nextNumber);
        if (!(linked->type() == PageType::Timeline) || linked->checksum() != nextChecksum ||
            linked->previous() != number) {
            linked = nullptr;
        }
    } catch (const VarnelException&) {
        linked = nullptr;
    }
    if (linked == nullptr) {
        if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == nextNumber) {
            _overwritePage.release();
        }
        // A damaged page is stepped over (it goes onto the bad-page track);
        // the frames it indexed are overwritten with it.
        linked = stepOverDamaged(number, firstChecksum, nextNumber);
        if (linked == nullptr) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "timeline page " + std::to_string(nextNumber) + " does not follow page " +
                                      std::to_string(number));
        }
        nextNumber = linked->pageNumber();
    }
    Page& next = *linked;
    const bool isCurrent = &next == _current;
    if (isCurrent) {
        prepareForTransaction(next);
    }
    {
        Mutex::ScopedLock lock(next.mutex());
        next.setPrevious(0);
        next.setPreviousChecksum(0);
    }
    OverwriteTransaction(*_storage, pages, next, true, !isCurrent).run();
    _storage->setTrackFirst(PageType::Timeline, nextNumber, next.checksum());
}

std::uint64_t Timeline::firstMediaID() {
    if (!isOpen() || !_current->isLoaded()) {
        return 0;
    }
    if (_overwritePage.isLoaded()) {
        return _overwritePage.firstItemID();
    }
    if (_current->previous() == 0 || !isWritable()) {
        return _current->previous() == 0 ? _current->firstItemID() : 0;
    }
    Page* first = firstPage();
    return first ? first->firstItemID() : 0;
}

std::uint32_t Timeline::firstTimeStamp() const {
    if (!isOpen()) {
        return 0;
    }
    const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Timeline);
    if (!entry) {
        return 0;
    }
    Page header(&_storage->superBlock(), &_storage->pageCache());
    header.loadHeader(entry->firstPage(), true);
    if (!(header.type() == PageType::Timeline) || header.checksum() != entry->firstPageChecksum()) {
        return 0;
    }
    return header.timeStamp();
}

bool Timeline::hasSinglePage() const {
    if (!_current->isLoaded()) {
        return false;
    }
    if (_current->previous() == 0) {
        return true;
    }
    // A page appended but not written to yet, right after the first page:
    // every element lies on the first page. (Recovery leaves one so when it
    // cuts the elements of frames that never reached the disk.) Dropping the
    // first page would drop every element and leave the frames, and the
    // recording table's entries, without their timeline.
    if (_current->itemCount() != 0) {
        return false;
    }
    const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Timeline);
    return entry && entry->firstPage() == _current->previous();
}

std::uint32_t Timeline::relocateMediaPage(std::uint32_t oldPage, std::uint32_t newPage, std::uint32_t stopPage) {
    requireWritable();
    if (newPage == 0) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "media page " + std::to_string(oldPage) + " cannot move to page 0");
    }
    // Elements of frames that were never placed name page 0; they must keep
    // naming nothing.
    if (oldPage == 0 || oldPage == newPage || !_current->isLoaded()) {
        return 0;
    }
    TimelineElement element;
    return rewriteBackwards("the timeline", "timeline page", [&](Page& page, std::uint32_t offset) {
        element.readAt(page.buffer(), offset);
        const PagePosition position = element.mediaPosition();
        ItemRewrite result;
        result.reachedStop = stopPage != 0 && position.number == stopPage;
        if (position.number == oldPage) {
            element.setMediaPosition(PagePosition{newPage, position.offset});
            element.writeAt(page.buffer(), offset);
            result.changed = true;
        }
        return result;
    });
}

} // namespace ostrel
