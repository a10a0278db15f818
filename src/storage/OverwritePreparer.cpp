#include "storage/OverwritePreparer.h"

#include "base/Exception.h"
#include "storage/FreePageList.h"
#include "storage/MediaTrack.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"

#include <algorithm>
#include <cstdio>

namespace ostrel {

void OverwritePreparer::init(Storage& storage, std::uint32_t capacity) {
    _storage = &storage;
    for (Page& page : _scanPages) {
        page.bind(&storage.superBlock(), &storage.pageCache());
    }
    _queue.clear();
    _capacity = std::max<std::uint32_t>(1, capacity);
}

void OverwritePreparer::dispose() {
    for (Page& page : _scanPages) {
        page.release();
    }
    _queue.clear();
    _storage = nullptr;
}

OverwritePreparer::Summary OverwritePreparer::summary() const {
    return Summary{scan().firstItemID(), scan().lastItemID(), scan().reserved(), scan().pageNumber()};
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
        if (!scan().isLoaded()) {
            const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Media);
            if (!entry) {
                return false;
            }
            scan().loadHeader(entry->firstPage(), false);
            if (!(scan().type() == PageType::Media) || scan().checksum() != entry->firstPageChecksum()) {
                scan().release();
                return false;
            }
            char line[160];
            std::snprintf(line, sizeof line, "OverwritePreparer: load first page. page %u(%u) last_id=%llu",
                          scan().pageNumber(), scan().checksum(), static_cast<unsigned long long>(scan().lastItemID()));
            _storage->log(line, 2, false);
            return true;
        }
        const std::uint32_t own = scan().pageNumber();
        const std::uint32_t ownChecksum = scan().checksum();
        if (scan().next() == 0) {
            scan().loadHeader(own, false);
            if (scan().checksum() != ownChecksum || !(scan().type() == PageType::Media)) {
                scan().release();
                return false;
            }
            if (scan().next() == 0) {
                return false;
            }
        }
        const std::uint32_t next = scan().next();
        if (!superBlock.isValidPageNumber(next)) {
            return false;
        }
        // The successor's header is read once: when it proves to follow the
        // scan page, that very copy becomes the scan page.
        Page& candidate = probe();
        candidate.loadHeader(next, false);
        if (candidate.type() == PageType::Media && StorageUtility::isLinked(scan(), candidate) &&
            candidate.superChecksum() == superBlock.checksum()) {
            scan().release();
            _scanIndex = 1 - _scanIndex;
            return true;
        }
        // The link does not hold. When the successor links back to the scan
        // page, only the scan page's copy of its checksum changed (the scan
        // page is on its way out anyway); otherwise the successor is damaged
        // and the chain is picked up after it, the damaged page going onto
        // the bad-page track once the overwrite has passed it.
        auto sound = [&](Page& page, std::uint32_t previous) {
            if (!(page.type() == PageType::Media) || page.previous() != previous ||
                page.superChecksum() != superBlock.checksum()) {
                return false;
            }
            try {
                page.checkHeader();
            } catch (const Exception&) {
                return false;
            }
            return true;
        };
        // Read ahead while recording goes on, a successor the writer has not
        // saved yet looks just the same: only the overwrite itself, which
        // runs after every filled page was committed, steps over damage.
        if (!_overwriting) {
            candidate.release();
            scan().loadHeader(own, false);
            return false;
        }
        if (sound(candidate, own) && candidate.previousChecksum() == ownChecksum) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "[QUARANTINE] MDEA page %u: its link to page %u was damaged; the overwrite goes on", own, next);
            _storage->log(line, 1, false);
            scan().release();
            _scanIndex = 1 - _scanIndex;
            return true;
        }
        if (!isProtected(next)) {
            std::uint32_t after = candidate.type() == PageType::Media ? candidate.next() : 0;
            if (after == 0 || !superBlock.isValidPageNumber(after)) {
                after = _storage->pageLinkingBackTo(PageType::Media, next);
            }
            if (after != 0 && superBlock.isValidPageNumber(after)) {
                candidate.loadHeader(after, false);
                if (sound(candidate, next)) {
                    _storage->quarantinePage(next, PageType::Media, after,
                                             candidate.itemCount() > 0 ? candidate.firstItemID() : 0);
                    scan().release();
                    _scanIndex = 1 - _scanIndex;
                    return true;
                }
            }
        }
        candidate.release();
        scan().loadHeader(own, false);
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
            if (!scan().isLoaded()) {
                return;
            }
            if (scan().lastItemID() < before && scan().next() == 0 && !isProtected(scan().pageNumber())) {
                char line[200];
                std::snprintf(line, sizeof line,
                              "OverwritePreparer: need to free all pages. page=%u last_id=%llu before=%llu",
                              scan().pageNumber(), static_cast<unsigned long long>(scan().lastItemID()),
                              static_cast<unsigned long long>(before));
                _storage->log(line, 2, false);
                scan().release();
            } else if (pagesToFree.contains(scan().pageNumber())) {
                // The page after the scan page cannot be read yet (the writer
                // has not saved it): the scan page stays as the first page.
                pagesToFree.remove(scan().pageNumber());
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
    struct Overwriting {
        explicit Overwriting(bool& flag) : _flag(flag) { _flag = true; }
        ~Overwriting() { _flag = false; }
        bool& _flag;
    } overwriting(_overwriting);
    collectQueued(before, pagesToFree);
    if (!scan().isLoaded() || (_queue.empty() && scan().lastItemID() < before)) {
        collectAll(before, pagesToFree);
    }
    if (!_queue.empty()) {
        return _queue.front().number;
    }
    return scan().isLoaded() ? scan().pageNumber() : 0;
}

} // namespace ostrel
