#include "storage/TrackIterator.h"

#include "base/Trace.h"
#include "storage/IRecordable.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"

#include <optional>
#include <string>

namespace ostrel {
namespace {

// Attempts to load a track's first or last page while the writer may move
// that end under the reader.
constexpr int EndLoadAttempts = 4;

} // namespace

TrackIterator::TrackIterator(Storage& storage, const PageType& type) : _storage(storage), _type(type) {
    for (Page& page : _pages) {
        page.bind(&storage.superBlock(), &storage.pageCache());
    }
}

TrackIterator::~TrackIterator() = default;

std::uint32_t TrackIterator::itemSize() const { return current().isLoaded() ? current().itemSize() : 0; }

std::uint32_t TrackIterator::currentItemSize() { return itemSize(); }

void TrackIterator::swapIn() {
    Page& loaded = scratch();
    _current->release();
    _current = &loaded;
}

bool TrackIterator::isValid() const {
    const Page& page = current();
    return _position.number != 0 && page.isLoaded() && page.pageNumber() == _position.number &&
           page.itemCount() > 0 && _position.offset >= page.firstItemOffset() &&
           _position.offset <= page.lastItemOffset();
}

void TrackIterator::read(IRecordable& item) {
    if (!isValid()) {
        throw VarnelException(VarnelException::InvalidStorage,
                              _type.toString() + " iterator read without an item at the cursor");
    }
    item.readAt(current().buffer(), _position.offset);
}

void TrackIterator::checkStep(std::uint32_t offset) const {
    if (offset <= _position.offset || offset > current().lastItemOffset()) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              _type.toString() + " page " + std::to_string(_position.number) + ": item at " +
                                  std::to_string(_position.offset) + " runs past the last item");
    }
}

bool TrackIterator::loadEnd(bool last) {
    for (int attempt = 1;; ++attempt) {
        const std::optional<TrackListItem> entry = _storage.findTrack(_type);
        if (!entry) {
            _current->release();
            _position = PagePosition{};
            return false;
        }
        _startPage = entry->firstPage();
        _startChecksum = entry->firstPageChecksum();
        const std::uint32_t number = last ? entry->lastPage() : entry->firstPage();
        const std::uint32_t checksum = last ? entry->lastPageChecksum() : entry->firstPageChecksum();
        try {
            scratch().loadVerified(number, _type, checksum, true);
        } catch (const VarnelException&) {
            const std::optional<TrackListItem> again = _storage.findTrack(_type);
            if (attempt < EndLoadAttempts &&
                (!again || (last ? again->lastPage() : again->firstPage()) != number ||
                 (last ? again->lastPageChecksum() : again->firstPageChecksum()) != checksum)) {
                continue;
            }
            _position = PagePosition{};
            throw;
        }
        swapIn();
        return true;
    }
}

bool TrackIterator::first() {
    _overwritten = false;
    if (!loadEnd(false)) {
        return false;
    }
    _position = PagePosition{current().pageNumber(), current().firstItemOffset()};
    if (current().itemCount() == 0 && !nextPage()) {
        _position = PagePosition{};
        return false;
    }
    return true;
}

bool TrackIterator::last() {
    _overwritten = false;
    if (!loadEnd(true)) {
        return false;
    }
    if (current().itemCount() == 0) {
        _position = PagePosition{current().pageNumber(), current().firstItemOffset()};
        if (!previousPage()) {
            _position = PagePosition{};
            return false;
        }
        return true;
    }
    _position = PagePosition{current().pageNumber(), current().lastItemOffset()};
    return true;
}

bool TrackIterator::seek(const PagePosition& position) {
    _overwritten = false;
    SuperBlock& superBlock = _storage.superBlock();
    if (!superBlock.isValidPosition(position)) {
        _current->release();
        _position = PagePosition{};
        return false;
    }
    if (!current().isLoaded() || current().pageNumber() != position.number) {
        noteTrackStart();
        Page& loaded = scratch();
        loaded.load(position.number, true);
        if (!(loaded.type() == _type) || loaded.superChecksum() != superBlock.checksum()) {
            loaded.release();
            _current->release();
            _position = PagePosition{};
            return false;
        }
        try {
            loaded.checkHeader();
        } catch (...) {
            loaded.release();
            _position = PagePosition{};
            throw;
        }
        swapIn();
    }
    _position = position;
    if (!isValid() && position.offset > current().lastItemOffset()) {
        refresh();
    }
    return isValid();
}

bool TrackIterator::refresh() {
    const std::uint32_t number = current().pageNumber();
    const std::uint32_t checksum = current().checksum();
    Page& loaded = scratch();
    loaded.load(number, true);
    if (!(loaded.type() == _type) || loaded.checksum() != checksum) {
        trace("Track::next() FAILED 1. OVERWRITTEN\n");
        loaded.release();
        return false;
    }
    try {
        loaded.checkHeader();
    } catch (...) {
        loaded.release();
        throw;
    }
    swapIn();
    return true;
}

void TrackIterator::noteTrackStart() {
    const std::optional<TrackListItem> entry = _storage.findTrack(_type);
    _startPage = entry ? entry->firstPage() : 0;
    _startChecksum = entry ? entry->firstPageChecksum() : 0;
}

bool TrackIterator::isOverwritten() {
    // The overwrite moves the track's first page after it freed pages, and
    // freed pages are handed out again only after that. A page the reader
    // stands on was freed when the beginning moved since the page was loaded,
    // or when all its items lie before the beginning (it was loaded through
    // the links of pages already freed). Any other broken link is damage.
    const std::optional<TrackListItem> entry = _storage.findTrack(_type);
    if (!entry || entry->firstPage() != _startPage || entry->firstPageChecksum() != _startChecksum) {
        return true;
    }
    const Page& page = current();
    if (entry->firstPage() == page.pageNumber() && entry->firstPageChecksum() == page.checksum()) {
        return false;
    }
    Page first(&_storage.superBlock(), &_storage.pageCache());
    first.load(entry->firstPage(), true);
    if (!(first.type() == _type) || first.checksum() != entry->firstPageChecksum() || first.itemCount() == 0) {
        return true;
    }
    return page.itemCount() == 0 || page.lastItemID() < first.firstItemID();
}

TrackIterator::Reach TrackIterator::reach(Page*& behind, Page*& candidate, Page& hop, std::uint32_t number,
                                          const std::optional<TrackListItem>& start, bool forward) {
    if (candidate->itemCount() > 0) {
        // The walk may have read the page into the spare page object: the
        // page becomes the current one in the scratch page, unless it was
        // replaced meanwhile.
        if (candidate != &scratch()) {
            const std::uint32_t checksum = candidate->checksum();
            scratch().load(number, true);
            candidate->release();
            if (scratch().checksum() != checksum) {
                scratch().release();
                return Reach::Overwritten;
            }
        }
        swapIn();
        _position = PagePosition{number, forward ? current().firstItemOffset() : current().lastItemOffset()};
        _startPage = start ? start->firstPage() : 0;
        _startChecksum = start ? start->firstPageChecksum() : 0;
        return Reach::Arrived;
    }
    // A page holding only the rest of a payload: go on from it, reading the
    // following page into a page object the walk no longer needs (never the
    // current one, which stays as it is until the walk arrives).
    if (candidate == &scratch()) {
        behind = candidate;
        candidate = &hop;
    } else {
        Page* next = behind == &current() ? &scratch() : behind;
        behind = candidate;
        candidate = next;
    }
    return Reach::Onward;
}

bool TrackIterator::nextPage() {
    for (int attempt = 0;; ++attempt) {
        // Where the track begins before the next page is loaded: the note for
        // the page we are about to stand on.
        const std::optional<TrackListItem> start = _storage.findTrack(_type);
        Page& from = current();
        Page hop(&_storage.superBlock(), &_storage.pageCache());
        Page* previous = &from;
        Page* candidate = &scratch();
        const std::uint32_t firstNext = from.next();
        const std::uint32_t firstNextChecksum = from.nextChecksum();
        bool broken = false;
        // Bounded by the pages of the storage, so a damaged chain cannot loop.
        for (std::uint32_t steps = 0; steps <= _storage.superBlock().pageCount() && !broken; ++steps) {
            if (previous->next() == 0) {
                candidate->release();
                return false;
            }
            const std::uint32_t number = previous->next();
            bool linked = _storage.superBlock().isValidPageNumber(number);
            if (linked) {
                candidate->load(number, true);
                linked = StorageUtility::isLinked(*previous, *candidate);
                if (linked) {
                    try {
                        candidate->checkHeader();
                    } catch (const VarnelException&) {
                        linked = false;
                    }
                }
            }
            if (!linked) {
                const bool detached = candidate->isLoaded() && StorageUtility::isDetachedFrom(*previous, *candidate);
                candidate->release();
                if (detached || isOverwritten()) {
                    trace("Track::next() FAILED 2. OVERWRITTEN\n");
                    _overwritten = true;
                    return false;
                }
                if (previous != &from) {
                    StorageUtility(_storage).loadNextPage(*previous, *candidate, true);
                    candidate->release();
                }
                broken = true;
                break;
            }
            const Reach reached = reach(previous, candidate, hop, number, start, true);
            if (reached != Reach::Onward) {
                _overwritten = reached == Reach::Overwritten;
                return reached == Reach::Arrived;
            }
        }
        if (!broken) {
            throw VarnelException(VarnelException::StorageCorrupted, _type.toString() + " track loops");
        }
        // The link from the current page failed: look at the page again; a
        // page whose link changed meanwhile (cut by a truncation) is followed
        // anew, an unchanged link to a page that does not continue it is damage.
        if (!refresh()) {
            _overwritten = true;
            return false;
        }
        if (attempt == 0 && (current().next() != firstNext || current().nextChecksum() != firstNextChecksum)) {
            continue;
        }
        Page probe(&_storage.superBlock(), &_storage.pageCache());
        StorageUtility(_storage).loadNextPage(current(), probe, true);
        // The link holds now: the writer completed it while we looked.
        if (attempt == 0) {
            continue;
        }
        throw VarnelException(VarnelException::StorageCorrupted,
                              _type.toString() + " page " + std::to_string(current().pageNumber()) +
                                  " broke its chain");
    }
}

bool TrackIterator::previousPage() {
    const std::optional<TrackListItem> entry = _storage.findTrack(_type);
    const std::optional<TrackListItem>& start = entry;
    Page& from = current();
    if (!entry || entry->firstPage() == from.pageNumber() || from.previous() == 0) {
        return false;
    }
    Page hop(&_storage.superBlock(), &_storage.pageCache());
    Page* following = &from;
    Page* candidate = &scratch();
    for (std::uint32_t steps = 0; steps <= _storage.superBlock().pageCount(); ++steps) {
        const std::uint32_t number = following->previous();
        if (number == 0) {
            candidate->release();
            return false;
        }
        bool linked = _storage.superBlock().isValidPageNumber(number);
        if (linked) {
            candidate->load(number, true);
            linked = StorageUtility::isLinked(*candidate, *following) &&
                     (candidate->itemCount() == 0 || following->itemCount() == 0 ||
                      candidate->lastItemID() <= following->firstItemID());
            if (linked) {
                try {
                    candidate->checkHeader();
                } catch (const VarnelException&) {
                    linked = false;
                }
            }
        }
        if (!linked) {
            candidate->release();
            if (isOverwritten()) {
                trace("Track::previous() FAILED. OVERWRITTEN\n");
                _overwritten = true;
                return false;
            }
            StorageUtility(_storage).loadPreviousPage(*following, *candidate, true);
            candidate->release();
            throw VarnelException(VarnelException::StorageCorrupted,
                                  _type.toString() + " page " + std::to_string(number) + " broke its chain");
        }
        const Reach reached = reach(following, candidate, hop, number, start, false);
        if (reached != Reach::Onward) {
            _overwritten = reached == Reach::Overwritten;
            return reached == Reach::Arrived;
        }
    }
    throw VarnelException(VarnelException::StorageCorrupted, _type.toString() + " track loops");
}

bool TrackIterator::next() {
    if (!isValid()) {
        return false;
    }
    _overwritten = false;
    if (_position.offset < current().lastItemOffset()) {
        const std::uint32_t offset = _position.offset + currentItemSize();
        checkStep(offset);
        _position.offset = offset;
        return true;
    }
    // The newest item of the page: its writer may have added items or the
    // link to a next page since the page was loaded.
    if (!refresh()) {
        _overwritten = true;
        return false;
    }
    if (_position.offset < current().lastItemOffset()) {
        const std::uint32_t offset = _position.offset + currentItemSize();
        checkStep(offset);
        _position.offset = offset;
        return true;
    }
    return nextPage();
}

bool TrackIterator::previous() {
    if (!isValid()) {
        return false;
    }
    _overwritten = false;
    if (_position.offset > current().firstItemOffset()) {
        const std::uint32_t step = itemSize();
        if (step == 0 || _position.offset - current().firstItemOffset() < step) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  _type.toString() + " page " + std::to_string(_position.number) +
                                      ": item offset " + std::to_string(_position.offset) + " off the item grid");
        }
        _position.offset -= step;
        return true;
    }
    return previousPage();
}

} // namespace ostrel
