#include "storage/OverwritePreparer.h"

#include "base/Exception.h"
#include "storage/FreePageList.h"
#include "storage/MediaTrack.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <cstdio>

namespace ostrel {

void OverwritePreparer::init(Storage& storage, std::uint32_t capacity) {
    _storage = &storage;
    _scan.bind(&storage.superBlock(), &storage.pageCache());
    _queue.clear();
    _capacity = std::max<std::uint32_t>(1, capacity);
}

void OverwritePreparer::dispose() {
    _scan.release();
    _queue.clear();
    _storage = nullptr;
}

OverwritePreparer::Summary OverwritePreparer::summary() const {
    return Summary{_scan.firstItemID(), _scan.lastItemID(), _scan.reserved(), _scan.pageNumber()};
}

bool OverwritePreparer::isProtected(std::uint32_t number) const {
    const Page* page = _storage->mediaTrack().currentPage();
    return page != nullptr && page->pageNumber() == number;
}

void OverwritePreparer::pageAppended() {
    if (_storage == nullptr || _queue.size() >= _capacity) {
        return;
    }
    if (advance()) {
        _queue.push_back(summary());
    }
}

bool OverwritePreparer::advance() {
    const SuperBlock& superBlock = _storage->superBlock();
    try {
        if (!_scan.isLoaded()) {
            const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Media);
            if (!entry) {
                return false;
            }
            _scan.loadHeader(entry->firstPage(), false);
            if (!(_scan.type() == PageType::Media) || _scan.checksum() != entry->firstPageChecksum()) {
                _scan.release();
                return false;
            }
            char line[160];
            std::snprintf(line, sizeof line, "OverwritePreparer: load first page. page %u(%u) last_id=%llu",
                          _scan.pageNumber(), _scan.checksum(), static_cast<unsigned long long>(_scan.lastItemID()));
            _storage->log(line, 2, false);
            return true;
        }
        const std::uint32_t own = _scan.pageNumber();
        const std::uint32_t ownChecksum = _scan.checksum();
        if (_scan.next() == 0) {
            _scan.loadHeader(own, false);
            if (_scan.checksum() != ownChecksum || !(_scan.type() == PageType::Media)) {
                _scan.release();
                return false;
            }
            if (_scan.next() == 0) {
                return false;
            }
        }
        const std::uint32_t next = _scan.next();
        const std::uint32_t nextChecksum = _scan.nextChecksum();
        if (!superBlock.isValidPageNumber(next)) {
            return false;
        }
        Page probe(&_storage->superBlock(), &_storage->pageCache());
        probe.loadHeader(next, false);
        if (probe.type() == PageType::Media && probe.previous() == own && probe.previousChecksum() == ownChecksum &&
            probe.checksum() == nextChecksum && probe.superChecksum() == superBlock.checksum()) {
            _scan.loadHeader(next, false);
            return true;
        }
        _scan.loadHeader(own, false);
        return false;
    } catch (const Exception&) {
        // A page that cannot be read stops the read-ahead at the last good page.
        return false;
    }
}

void OverwritePreparer::collectQueued(std::uint64_t before, FreePageList& pagesToFree) {
    while (!_queue.empty() && _queue.front().lastMediaID < before && !isProtected(_queue.front().number)) {
        pagesToFree.add(_queue.front().number, _queue.front().number);
        _queue.pop_front();
    }
}

void OverwritePreparer::collectAll(std::uint64_t before, FreePageList& pagesToFree) {
    const std::uint32_t bound = _storage->superBlock().pageCount();
    for (std::uint32_t steps = 0; steps <= bound; ++steps) {
        if (!advance()) {
            if (!_scan.isLoaded()) {
                return;
            }
            if (_scan.lastItemID() < before && _scan.next() == 0 && !isProtected(_scan.pageNumber())) {
                char line[200];
                std::snprintf(line, sizeof line,
                              "OverwritePreparer: need to free all pages. page=%u last_id=%llu before=%llu",
                              _scan.pageNumber(), static_cast<unsigned long long>(_scan.lastItemID()),
                              static_cast<unsigned long long>(before));
                _storage->log(line, 2, false);
                _scan.release();
            } else if (pagesToFree.contains(_scan.pageNumber())) {
                // The page after the scan page cannot be read yet (the writer
                // has not saved it): the scan page stays as the first page.
                pagesToFree.remove(_scan.pageNumber());
                _queue.push_front(summary());
            }
            return;
        }
        const Summary page = summary();
        if (page.lastMediaID < before && !isProtected(page.number)) {
            pagesToFree.add(page.number, page.number);
        } else {
            _queue.push_front(page);
            return;
        }
    }
}

std::uint32_t OverwritePreparer::complete(std::uint64_t before, FreePageList& pagesToFree) {
    pagesToFree.clear();
    if (_storage == nullptr) {
        return 0;
    }
    collectQueued(before, pagesToFree);
    if (!_scan.isLoaded() || (_queue.empty() && _scan.lastItemID() < before)) {
        collectAll(before, pagesToFree);
    }
    if (!_queue.empty()) {
        return _queue.front().number;
    }
    return _scan.isLoaded() ? _scan.pageNumber() : 0;
}

} // namespace ostrel
