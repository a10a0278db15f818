#include "storage/MediaTrack.h"

#include "base/Trace.h"
#include "storage/FreePageList.h"
#include "storage/IOverwritePreparer.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/OverwriteTransaction.h"
#include "storage/transaction/TruncateAfterTransaction.h"

#include <cstdio>
#include <string>

namespace ostrel {

MediaTrack::MediaTrack() = default;

MediaTrack::~MediaTrack() = default;

void MediaTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Track::init(storage, forWrite, lastPage);
    const Page* page = currentPage();
    if (page != nullptr && page->itemCount() > 0) {
        MediaElement last;
        const std::uint64_t end = std::uint64_t{page->lastItemOffset()} + stepAt(*page, page->lastItemOffset(), last);
        if (end > pageSize()) {
            const std::uint32_t number = page->pageNumber();
            Track::close(false);
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "media page " + std::to_string(number) +
                                      ": the last frame continues into a page that is not part of the track");
        }
        _writeOffset = static_cast<std::uint32_t>(end);
    }
    resetPreparer();
}

void MediaTrack::resetPreparer() {
    if (_preparer) {
        _preparer->dispose();
        _preparer.reset();
    }
    if (isWritable()) {
        _preparer = _storage->createOverwritePreparer();
        _preparer->init(*_storage, _storage->overwritePreparerCapacity());
    }
}

bool MediaTrack::close(bool flush) {
    if (_preparer) {
        _preparer->dispose();
        _preparer.reset();
    }
    return Track::close(flush);
}

Page& MediaTrack::chainPage(std::uint32_t number, IPageInitializer* initializer) {
    if (_preparer) {
        _preparer->pageAppended();
    }
    return Track::chainPage(number, initializer);
}

PagePosition MediaTrack::write(MediaElement& frame) { return Track::write(frame); }

void MediaTrack::collectUpTo(std::uint32_t stop, FreePageList& pages) {
    const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Media);
    if (!entry) {
        return;
    }
    const SuperBlock& superBlock = _storage->superBlock();
    Page header(&_storage->superBlock(), &_storage->pageCache());
    std::uint32_t number = entry->firstPage();
    std::uint32_t checksum = entry->firstPageChecksum();
    for (std::uint32_t steps = 0; number != stop; ++steps) {
        if (steps > superBlock.pageCount() || number == 0 || !superBlock.isValidPageNumber(number)) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "media track does not lead from its first page to page " + std::to_string(stop));
        }
        header.loadHeader(number, false);
        if (!(header.type() == PageType::Media) || header.checksum() != checksum) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "media page " + std::to_string(number) + " broke the chain");
        }
        pages.add(number, number);
        checksum = header.nextChecksum();
        number = header.next();
    }
}

void MediaTrack::installFirst(std::uint32_t first, FreePageList& pages) {
    Page header(&_storage->superBlock(), &_storage->pageCache());
    Page* page = nullptr;
    const bool isCurrent = _current->isLoaded() && _current->pageNumber() == first;
    if (isCurrent) {
        page = _current;
        prepareForTransaction(*page);
    } else {
        header.loadHeader(first, false);
        if (!(header.type() == PageType::Media) || header.superChecksum() != _storage->superBlock().checksum()) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "media page " + std::to_string(first) + " cannot become the first page");
        }
        page = &header;
    }
    {
        Mutex::ScopedLock lock(page->mutex());
        if (page->previous() != 0 || page->previousChecksum() != 0) {
            page->setPrevious(0);
            page->setPreviousChecksum(0);
        }
    }
    OverwriteTransaction(*_storage, pages, *page, true, !isCurrent).run();
    _storage->setTrackFirst(PageType::Media, first, page->checksum());
}

std::uint32_t MediaTrack::firstPageByTimeline() {
    TrackIterator it(*_storage, PageType::Timeline);
    const SuperBlock& superBlock = _storage->superBlock();
    std::uint32_t examined = 0;
    if (it.first()) {
        do {
            TimelineElement element;
            it.read(element);
            const std::uint32_t number = element.mediaPosition().number;
            if (number == examined || !superBlock.isValidPageNumber(number)) {
                continue;
            }
            examined = number;
            Page header(&_storage->superBlock(), &_storage->pageCache());
            header.loadHeader(number, false);
            if (header.type() == PageType::Media && header.superChecksum() == superBlock.checksum()) {
                char line[200];
                std::snprintf(line, sizeof line,
                              "MediaTrack: found first page by timeline (%u, %u). new first media page=%u first id=%llu",
                              it.position().number, it.position().offset, number,
                              static_cast<unsigned long long>(header.firstItemID()));
                _storage->log(line, 1, false);
                return number;
            }
        } while (it.next());
    }
    _storage->log("MediaTrack: cannot found first page by timeline!", 0, true);
    throw VarnelException(VarnelException::StorageCorrupted, "MediaTrack::overwrite: no media page to start from");
}

bool MediaTrack::overwrite(std::uint64_t before) {
    if (!isWritable() || !_current->isLoaded()) {
        return false;
    }
    if (!_preparer) {
        resetPreparer();
    }
    FreePageList pages(0xFFFFFFFF);
    std::uint32_t first = _preparer->complete(before, pages);
    if (first == 0) {
        char line[120];
        std::snprintf(line, sizeof line, "MediaTrack: OverwritePreparer::complete() returns null! before=%llu",
                      static_cast<unsigned long long>(before));
        _storage->log(line, 1, false);
        const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Media);
        if (entry && pages.contains(entry->lastPage())) {
            // Every page lies before the cut: the whole track goes.
            deleteTrack(pages);
            resetPreparer();
            return true;
        }
        first = firstPageByTimeline();
        pages.clear();
        collectUpTo(first, pages);
        resetPreparer();
    }
    if (pages.isEmpty()) {
        return false;
    }
    installFirst(first, pages);
    return true;
}

void MediaTrack::clear() {
    if (!isWritable() || !_current->isLoaded()) {
        return;
    }
    flush();
    FreePageList pages(0xFFFFFFFF);
    const std::uint32_t current = _current->pageNumber();
    collectUpTo(current, pages);
    if (_appending) {
        // The page an append is filling stays as the only page.
        if (!pages.isEmpty()) {
            installFirst(current, pages);
        }
    } else {
        pages.add(current, current);
        deleteTrack(pages);
    }
    resetPreparer();
}

void MediaTrack::cutAt(Page& page, const PagePosition& position) {
    Mutex::ScopedLock lock(page.mutex());
    if (page.next() != 0 || page.nextChecksum() != 0) {
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
    }
    MediaElement frame;
    if (page.itemCount() == 0 || page.lastItemOffset() < position.offset) {
        trace("MediaTrack::removeAfter : no need to remove after :%u last item offset = %u\n", position.offset,
              page.lastItemOffset());
        _writeOffset = page.itemCount() == 0 ? page.firstItemOffset()
                                             : page.lastItemOffset() + stepAt(page, page.lastItemOffset(), frame);
        _cursor = PagePosition{page.pageNumber(), _writeOffset};
        return;
    }
    std::uint32_t kept = 0;
    std::uint32_t mask = 0;
    std::uint32_t lastOffset = Page::IndexData;
    std::uint64_t lastID = 0;
    std::uint32_t offset = page.firstItemOffset();
    while (kept < page.itemCount() && offset < position.offset) {
        frame.readAt(page.buffer(), offset);
        if (frame.marksChannel()) {
            mask |= frame.channelMask().word();
        }
        lastOffset = offset;
        lastID = frame.mediaID();
        offset += stepAt(page, offset, frame);
        ++kept;
    }
    page.setItemCount(kept);
    page.setChannelMask(BitMask32(mask));
    page.setLastItemID(lastID);
    page.setLastItemOffset(lastOffset);
    if (kept == 0) {
        page.setFirstItemID(0);
    }
    _writeOffset = position.offset;
    _cursor = PagePosition{page.pageNumber(), _writeOffset};
}

void MediaTrack::truncateAfter(const PagePosition& position) {
    requireWritable();
    if (!_current->isLoaded() || position.isNull()) {
        return;
    }
    FreePageList pages(0xFFFFFFFF);
    while (_current->pageNumber() != position.number) {
        const std::uint32_t number = _current->pageNumber();
        if (_current->previous() == 0) {
            trace(" deleted\n");
            pages.add(number, number);
            deleteTrack(pages);
            resetPreparer();
            return;
        }
        const std::uint32_t previous = _current->previous();
        const std::uint32_t previousChecksum = _current->previousChecksum();
        if (_overwritePage.pageNumber() == previous) {
            _overwritePage.release();
        }
        Page& other = otherPage();
        loadLinked(other, previous, previousChecksum, false);
        if (other.next() != number) {
            other.release();
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "media page " + std::to_string(previous) + " does not link to " +
                                      std::to_string(number));
        }
        pages.add(number, number);
        trace("MediaTrack::truncateAfter : free %u\n", number);
        _current->release();
        _current = &other;
    }
    cutAt(*_current, position);
    TruncateAfterTransaction(*_storage, pages, *_current).run();
    _storage->setTrackLast(PageType::Media, _current->pageNumber(), _current->checksum());
    resetPreparer();
}

PagePosition MediaTrack::positionAfter(std::uint64_t after) {
    MediaTrackIterator it(*_storage, PageType::Media);
    PagePosition found;
    if (!it.last()) {
        return found;
    }
    MediaElement frame;
    do {
        it.read(frame);
        if (frame.mediaID() <= after) {
            break;
        }
        found = it.position();
    } while (it.previous());
    return found;
}

} // namespace ostrel
