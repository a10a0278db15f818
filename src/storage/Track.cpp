#include "storage/Track.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/FreePageList.h"
#include "storage/IFreePageAllocator.h"
#include "storage/IRecordable.h"
#include "storage/OverflowRemainingWriter.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/OverwriteTransaction.h"
#include "storage/transaction/PageFlushTransaction.h"
#include "storage/transaction/TrackDeletionTransaction.h"
#include "storage/transaction/TruncateAfterTransaction.h"

#include <cstdio>
#include <string>

namespace ostrel {
namespace {

[[noreturn]] void brokenLink(const PageType& type, std::uint32_t number, const std::string& what) {
    throw VarnelException(VarnelException::StorageCorrupted,
                          type.toString() + " page " + std::to_string(number) + ": " + what);
}

// The free-page list the track collects pages to free in: bounded only by
// the pages of the storage.
FreePageList pageList() { return FreePageList(0xFFFFFFFF); }

} // namespace

Track::Track() = default;

Track::~Track() = default;

std::uint32_t Track::pageSize() const { return _storage ? _storage->superBlock().pageSize() : 0; }

std::uint32_t Track::freeRoom() const {
    if (!_current->isLoaded()) {
        return 0;
    }
    const std::uint32_t size = pageSize();
    return _writeOffset < size ? size - _writeOffset : 0;
}

bool Track::isWritingPage(std::uint32_t number) const {
    return _appending && number != 0 && _current->isLoaded() && _current->pageNumber() == number;
}

void Track::requireWritable() const {
    if (!isWritable()) {
        throw VarnelException(VarnelException::InvalidStorage,
                              pageType().toString() + " track is not open for writing");
    }
}

void Track::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    for (Page& page : _pages) {
        page.bind(&storage.superBlock(), &storage.pageCache());
    }
    _overwritePage.bind(&storage.superBlock(), &storage.pageCache());
    _current = &_pages[0];
    _storage = &storage;
    _forWrite = forWrite && !storage.isReadOnly();
    _cursor = PagePosition{};
    _writeOffset = 0;
    _appending = false;
    if (lastPage == 0) {
        return;
    }
    const std::optional<TrackListItem> entry = storage.findTrack(pageType());
    if (!entry || entry->lastPage() != lastPage) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              pageType().toString() + " track opened at page " + std::to_string(lastPage) +
                                  " that the track list does not name");
    }
    try {
        _current->loadVerified(lastPage, pageType(), entry->lastPageChecksum(), !_forWrite);
    } catch (...) {
        _storage = nullptr;
        throw;
    }
    Page& page = *_current;
    if (page.itemCount() == 0) {
        _writeOffset = page.firstItemOffset();
    } else {
        _writeOffset = page.lastItemOffset() + itemSize();
    }
    if (_writeOffset > pageSize()) {
        _current->release();
        _storage = nullptr;
        brokenLink(pageType(), lastPage, "last item runs past the end of the page");
    }
    _cursor = PagePosition{lastPage, page.itemCount() == 0 ? page.firstItemOffset() : page.lastItemOffset()};
    char line[160];
    std::snprintf(line, sizeof line, "Track::init() %s page#=%u last_offset=%u last_id=%llu type=%s",
                  _forWrite ? "WRITE" : "READ", lastPage, page.lastItemOffset(),
                  static_cast<unsigned long long>(page.lastItemID()), pageType().toString().c_str());
    storage.log(line, 2, false);
}

bool Track::close(bool flush) {
    bool ok = true;
    if (flush && isWritable()) {
        try {
            this->flush();
        } catch (const SystemException& e) {
            traceException(e);
            ok = false;
        }
    }
    _pages[0].release();
    _pages[1].release();
    _overwritePage.release();
    _current = &_pages[0];
    _cursor = PagePosition{};
    _writeOffset = 0;
    _appending = false;
    _storage = nullptr;
    return ok;
}

bool Track::isEmpty() const {
    return !_current->isLoaded() || (_current->itemCount() == 0 && _current->previous() == 0);
}

bool Track::fits(const IRecordable& item) const {
    return std::uint64_t{freeRoom()} >= std::uint64_t{item.fixedSize()} + item.payloadSize();
}

std::uint32_t Track::allocatePage() {
    requireWritable();
    return _storage->allocatePage(pageType());
}

void Track::loadPage(std::uint32_t number) {
    _current->load(number, !_forWrite);
    _cursor = PagePosition{number, _current->firstItemOffset()};
}

void Track::clear() { overwrite(0xFFFFFFFFFFFFFFFFull); }

bool Track::overwrite(std::uint64_t) { return false; }

void Track::flush() {
    if (!isWritable() || !_current->isLoaded() || !_current->isDirty()) {
        return;
    }
    _storage->savePage(*_current);
}

Page& Track::appendPage(IPageInitializer* initializer) {
    requireWritable();
    AppendScope appending(*this);
    return chainPage(allocatePage(), initializer);
}

Page& Track::chainPage(std::uint32_t number, IPageInitializer* initializer) {
    AppendScope appending(*this);
    Page& fresh = otherPage();
    const PageType type = pageType();
    if (!_current->isLoaded()) {
        fresh.format(type, number, itemSize(), 0, 0, initializer);
    } else {
        Page& old = *_current;
        fresh.format(type, number, itemSize(), old.pageNumber(), old.checksum(), initializer);
        {
            Mutex::ScopedLock lock(old.mutex());
            old.setNext(number);
            old.setNextChecksum(fresh.checksum());
        }
        _storage->savePage(old, true);
        if (fresh.previous() != old.pageNumber()) {
            trace("result(%d) previous(%d) change %d\n", static_cast<int>(number), static_cast<int>(fresh.previous()),
                  static_cast<int>(old.pageNumber()));
            fresh.setPrevious(old.pageNumber());
            fresh.setPreviousChecksum(old.checksum());
        }
        old.release();
    }
    _storage->setTrackLast(type, number, fresh.checksum());
    _current = &fresh;
    _writeOffset = fresh.firstItemOffset();
    _cursor = PagePosition{number, _writeOffset};
    return fresh;
}

PagePosition Track::write(IRecordable& item) {
    requireWritable();
    const std::uint32_t size = pageSize();
    const std::uint32_t area = size - Page::IndexData;
    const std::uint32_t fixed = item.fixedSize();
    const std::uint64_t payload = item.payloadSize();
    // A payload continues into one further page only: what cannot fit behind
    // the fixed part plus one whole item area, even starting on a fresh page,
    // is refused before anything is touched.
    if (fixed == 0 || fixed > area || payload > std::uint64_t{area - fixed} + area) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              "an item of " + std::to_string(fixed + payload) + " bytes does not fit in two " +
                                  pageType().toString() + " pages of " + std::to_string(size) + " bytes");
    }
    AppendScope appending(*this);
    const std::uint32_t room = freeRoom();
    // Start on a fresh page when the fixed part does not fit, or when the
    // payload would need more than one further page from here.
    if (room < fixed || payload > std::uint64_t{room - fixed} + area) {
        appendPage(nullptr);
    }
    // A payload that continues into the next page gets that page before the
    // item touches the current one, so that a storage without room refuses
    // the item whole.
    const std::uint64_t roomAfterHeader = pageSize() - (_writeOffset + fixed);
    const std::uint32_t continuation = payload > roomAfterHeader ? allocatePage() : 0;
    Page& page = *_current;
    PagePosition position{page.pageNumber(), _writeOffset};
    std::uint32_t written = 0;
    {
        Mutex::ScopedLock lock(page.mutex());
        DirtyMaskingBuffer& buffer = page.buffer();
        buffer.setPosition(position.offset);
        item.writeHeader(buffer);
        if (page.itemCount() == 0) {
            page.setFirstItemID(item.mediaID());
            page.setFirstItemOffset(position.offset);
            page.setTimeStamp(_storage->timeStamp());
        }
        page.setItemCount(page.itemCount() + 1);
        page.setLastItemOffset(position.offset);
        page.setLastItemID(item.mediaID());
        if (item.marksChannel()) {
            page.setChannelMask(BitMask32(page.channelMask().word() | item.channelMask().word()));
        }
        const std::uint32_t after = position.offset + fixed;
        const std::uint32_t roomAfter = size - after;
        written = payload <= roomAfter ? static_cast<std::uint32_t>(payload) : roomAfter;
        if (written > 0) {
            item.writePayload(buffer, 0, written);
        }
        _writeOffset = after + written;
    }
    _cursor = position;
    if (written < payload) {
        OverflowRemainingWriter carry(item, written, static_cast<std::uint32_t>(payload - written));
        Page& next = chainPage(continuation, &carry);
        if (next.previous() != position.number) {
            position.number = next.previous();
        }
    }
    return position;
}

std::uint32_t Track::stepAt(const Page& page, std::uint32_t offset, IRecordable& item) const {
    if (!carriesMedia()) {
        return itemSize();
    }
    item.readAt(page.buffer(), offset);
    const std::uint64_t size = std::uint64_t{item.fixedSize()} + item.payloadSize();
    // A frame larger than two pages cannot be; stepping over it leaves the page.
    return size > 2ull * pageSize() ? 2 * pageSize() : static_cast<std::uint32_t>(size);
}

void Track::loadLinked(Page& page, std::uint32_t number, std::uint32_t checksum, bool readOnly) {
    page.loadVerified(number, pageType(), checksum, readOnly);
}

Page* Track::stepOverDamaged(std::uint32_t from, std::uint32_t fromChecksum, std::uint32_t next) {
    const SuperBlock& superBlock = _storage->superBlock();
    if (!superBlock.isValidPageNumber(next) || isWritingPage(next)) {
        return nullptr;
    }
    auto sound = [&](Page& page, std::uint32_t previous) {
        if (!(page.type() == pageType()) || page.previous() != previous ||
            page.superChecksum() != superBlock.checksum()) {
            return false;
        }
        try {
            page.checkHeader();
        } catch (const VarnelException&) {
            return false;
        }
        return true;
    };
    std::uint32_t after = 0;
    try {
        Page& candidate = loadPageToOverwrite(next);
        if (sound(candidate, from) && candidate.previousChecksum() == fromChecksum) {
            // Only the link kept in the page on its way out changed.
            _storage->log("[QUARANTINE] " + pageType().toString() + " page " + std::to_string(from) +
                              ": its link to page " + std::to_string(next) + " was damaged; the overwrite goes on",
                          1, false);
            return &candidate;
        }
        after = candidate.next();
    } catch (const VarnelException&) {
        after = 0;
    }
    if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == next) {
        _overwritePage.release();
    }
    if (after == 0 || !superBlock.isValidPageNumber(after)) {
        // The damaged page's own link is gone: the page that links back to it.
        after = _storage->pageLinkingBackTo(pageType(), next);
    }
    if (after == 0 || !superBlock.isValidPageNumber(after)) {
        return nullptr;
    }
    try {
        Page& candidate = loadPageToOverwrite(after);
        if (!sound(candidate, next)) {
            if (&candidate == &_overwritePage) {
                _overwritePage.release();
            }
            return nullptr;
        }
        _storage->quarantinePage(next, pageType(), after, candidate.itemCount() > 0 ? candidate.firstItemID() : 0);
        return &candidate;
    } catch (const VarnelException&) {
        if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == after) {
            _overwritePage.release();
        }
        return nullptr;
    }
}

Page& Track::loadPageToOverwrite(std::uint32_t number) {
    if (_current->isLoaded() && _current->pageNumber() == number) {
        if (_overwritePage.isLoaded()) {
            _overwritePage.release();
        }
        trace("Track::loadPageToOverwrite(): PAGE #%u (CURRENT)\n", number);
        return *_current;
    }
    if (_overwritePage.pageNumber() != number) {
        _overwritePage.load(number, !_forWrite);
    }
    trace("Track::loadPageToOverwrite(): PAGE #%u \n", number);
    return _overwritePage;
}

Page* Track::firstPage() {
    const std::optional<TrackListItem> entry = _storage->findTrack(pageType());
    if (!entry) {
        return nullptr;
    }
    Page& page = loadPageToOverwrite(entry->firstPage());
    if (!(page.type() == pageType()) || page.checksum() != entry->firstPageChecksum()) {
        const std::uint32_t number = page.pageNumber();
        if (&page == &_overwritePage) {
            _overwritePage.release();
        }
        brokenLink(pageType(), number, "is not the first page the track list names");
    }
    if (&page == &_overwritePage) {
        page.checkHeader();
    }
    return &page;
}

void Track::prepareForTransaction(Page& page) {
    if (&page == _current && _storage->freePageAllocator().isListed(page.pageNumber())) {
        PageFlushTransaction(*_storage, page).run();
    }
}

bool Track::overwrite(std::uint64_t before, IRecordable& item) {
    if (!isWritable() || isEmpty()) {
        return false;
    }
    Page* page = firstPage();
    if (page == nullptr || (page->itemCount() > 0 && page->firstItemID() >= before)) {
        return false;
    }
    FreePageList pages = pageList();
    while (page->itemCount() == 0 || page->lastItemID() < before) {
        if (isWritingPage(page->pageNumber())) {
            break;
        }
        pages.add(page->pageNumber(), page->pageNumber());
        if (page->next() == 0) {
            deleteTrack(pages);
            return true;
        }
        const std::uint32_t next = page->next();
        const std::uint32_t nextChecksum = page->nextChecksum();
        const std::uint32_t number = page->pageNumber();
        const std::uint32_t numberChecksum = page->checksum();
        Page* loaded = nullptr;
        try {
            loaded = &loadPageToOverwrite(next);
            if (!(loaded->type() == pageType()) || loaded->checksum() != nextChecksum || loaded->previous() != number) {
                loaded = nullptr;
            } else if (loaded == &_overwritePage) {
                loaded->checkHeader();
            }
        } catch (const VarnelException&) {
            loaded = nullptr;
        }
        if (loaded == nullptr) {
            if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == next) {
                _overwritePage.release();
            }
            loaded = stepOverDamaged(number, numberChecksum, next);
            if (loaded == nullptr) {
                brokenLink(pageType(), next, "is not the page its predecessor links to");
            }
        }
        page = loaded;
    }
    const bool isCurrent = page == _current;
    if (isCurrent) {
        prepareForTransaction(*page);
    }
    std::uint32_t dropped = 0;
    std::uint32_t offset = page->firstItemOffset();
    const std::uint32_t count = page->itemCount();
    while (dropped < count) {
        item.readAt(page->buffer(), offset);
        if (item.mediaID() >= before) {
            break;
        }
        offset += stepAt(*page, offset, item);
        ++dropped;
    }
    {
        Mutex::ScopedLock lock(page->mutex());
        if (page->previous() != 0 || page->previousChecksum() != 0) {
            page->setPrevious(0);
            page->setPreviousChecksum(0);
        }
        if (dropped == count && dropped > 0) {
            // Only the page an append is filling can lose every item here: it
            // stays as an empty page.
            page->setItemCount(0);
            page->setFirstItemOffset(Page::IndexData);
            page->setLastItemOffset(Page::IndexData);
            page->setFirstItemID(0);
            page->setLastItemID(0);
            page->setChannelMask(BitMask32(0));
        } else if (dropped > 0) {
            item.readAt(page->buffer(), offset);
            page->setFirstItemID(item.mediaID());
            page->setFirstItemOffset(offset);
            page->setItemCount(count - dropped);
        }
    }
    OverwriteTransaction(*_storage, pages, *page, true, !isCurrent).run();
    _storage->setTrackFirst(pageType(), page->pageNumber(), page->checksum());
    return dropped > 0 || !pages.isEmpty();
}

void Track::deleteTrack(FreePageList& pagesToFree) {
    if (_current->isLoaded() && _storage->freePageAllocator().isListed(_current->pageNumber())) {
        PageFlushTransaction(*_storage, *_current).run();
    }
    TrackDeletionTransaction(*_storage, pagesToFree, pageType()).run();
    _pages[0].release();
    _pages[1].release();
    _overwritePage.release();
    _current = &_pages[0];
    _cursor = PagePosition{};
    _writeOffset = 0;
    _storage->removeTrack(pageType());
}

void Track::truncateAfter(std::uint64_t after, IRecordable& item) {
    requireWritable();
    if (isEmpty()) {
        return;
    }
    FreePageList pages = pageList();
    while ((_current->itemCount() == 0 && _current->previous() != 0) ||
           (_current->itemCount() > 0 && _current->firstItemID() > after)) {
        const std::uint32_t number = _current->pageNumber();
        if (_current->previous() == 0) {
            pages.add(number, number);
            trace("Track::truncateAfter : free %s %u (deleted)\n", pageType().toString().c_str(), number);
            deleteTrack(pages);
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
            brokenLink(pageType(), previous, "does not link to its successor " + std::to_string(number));
        }
        pages.add(number, number);
        trace("Track::truncateAfter : free %s %u\n", pageType().toString().c_str(), number);
        _current->release();
        _current = &other;
    }
    removeAfter(*_current, after, item);
    TruncateAfterTransaction(*_storage, pages, *_current).run();
    _storage->setTrackLast(pageType(), _current->pageNumber(), _current->checksum());
}

void Track::removeAfter(Page& page, std::uint64_t after, IRecordable& item) {
    Mutex::ScopedLock lock(page.mutex());
    if (page.next() != 0 || page.nextChecksum() != 0) {
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
    }
    const std::uint32_t count = page.itemCount();
    if (count == 0 || page.lastItemID() <= after) {
        trace("Track::removeAfter : no need to remove after :%llu last item = %llu\n",
              static_cast<unsigned long long>(after), static_cast<unsigned long long>(page.lastItemID()));
        _writeOffset = count == 0 ? page.firstItemOffset()
                                  : page.lastItemOffset() + stepAt(page, page.lastItemOffset(), item);
        _cursor = PagePosition{page.pageNumber(), _writeOffset};
        return;
    }
    std::uint32_t kept = 0;
    std::uint32_t offset = page.firstItemOffset();
    std::uint32_t lastOffset = Page::IndexData;
    std::uint64_t lastID = 0;
    std::uint32_t mask = 0;
    std::uint32_t end = offset;
    while (kept < count) {
        item.readAt(page.buffer(), offset);
        if (item.mediaID() > after) {
            break;
        }
        lastOffset = offset;
        lastID = item.mediaID();
        if (item.marksChannel()) {
            mask |= item.channelMask().word();
        }
        offset += stepAt(page, offset, item);
        end = offset;
        ++kept;
    }
    trace("Track::removeAfter : _currentPage->lastItemID =%llu, after =%llu\n",
          static_cast<unsigned long long>(page.lastItemID()), static_cast<unsigned long long>(after));
    trace("Track::removeAfter : page %s %u updated : last = %u -> %u\n", pageType().toString().c_str(),
          page.pageNumber(), page.lastItemOffset(), lastOffset);
    page.setItemCount(kept);
    page.setChannelMask(BitMask32(mask));
    page.setLastItemID(lastID);
    page.setLastItemOffset(lastOffset);
    if (kept == 0) {
        page.setFirstItemID(0);
        if (!carriesMedia()) {
            page.setFirstItemOffset(Page::IndexData);
        }
        _writeOffset = page.firstItemOffset();
    } else {
        _writeOffset = end;
    }
    _cursor = PagePosition{page.pageNumber(), _writeOffset};
}

bool Track::readAt(Page& page, const PagePosition& position, IRecordable& item) {
    if (!page.isLoaded() || page.pageNumber() != position.number || page.itemCount() == 0 ||
        position.offset < page.firstItemOffset() || position.offset > page.lastItemOffset()) {
        return false;
    }
    item.readAt(page.buffer(), position.offset);
    return true;
}

std::uint32_t Track::rewriteBackwards(const std::string& trackName, const std::string& pageName,
                                      const std::function<ItemRewrite(Page& page, std::uint32_t offset)>& rewrite) {
    const std::optional<TrackListItem> entry = _storage->findTrack(pageType());
    const std::uint32_t first = entry ? entry->firstPage() : 0;
    const std::uint32_t pageCount = _storage->superBlock().pageCount();
    Page other(&_storage->superBlock(), &_storage->pageCache());
    Page* page = _current;
    std::uint32_t changed = 0;
    for (std::uint32_t visited = 1;; ++visited) {
        bool reachedStop = false;
        bool pageChanged = false;
        {
            Mutex::ScopedLock lock(page->mutex());
            for (std::uint32_t i = 0; i < page->itemCount(); ++i) {
                const ItemRewrite result = rewrite(*page, page->firstItemOffset() + i * itemSize());
                reachedStop = reachedStop || result.reachedStop;
                if (result.changed) {
                    pageChanged = true;
                    ++changed;
                }
            }
        }
        if (pageChanged) {
            _storage->savePage(*page);
        }
        if (reachedStop || page->previous() == 0 || page->pageNumber() == first) {
            break;
        }
        if (visited >= pageCount) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  trackName + "'s previous links run in a circle through page " +
                                      std::to_string(page->pageNumber()));
        }
        const std::uint32_t previous = page->previous();
        const std::uint32_t previousChecksum = page->previousChecksum();
        if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == previous) {
            if (_overwritePage.checksum() != previousChecksum) {
                throw VarnelException(VarnelException::StorageCorrupted,
                                      pageName + " " + std::to_string(previous) + " is not the page " +
                                          std::to_string(page->pageNumber()) + " links back to");
            }
            page = &_overwritePage;
        } else {
            other.release();
            loadLinked(other, previous, previousChecksum, false);
            page = &other;
        }
    }
    return changed;
}

} // namespace ostrel
