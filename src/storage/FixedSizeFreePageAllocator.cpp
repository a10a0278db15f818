#include "storage/FixedSizeFreePageAllocator.h"

#include "base/Trace.h"
#include "storage/IStorage.h"
#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <string>
#include <vector>

namespace ostrel {

void FixedSizeFreePageAllocator::format(IStorage& storage) {
    _storage = &storage;
    SuperBlock& superBlock = storage.superBlock();
    _page.bind(&superBlock, &storage.pageCache());
    if (superBlock.pageCount() < 2) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              "a storage needs at least 2 pages, this one has " +
                                  std::to_string(superBlock.pageCount()));
    }
    _page.format(PageType::FreePageList, 1, FreePageListItem().size(), 0, 0);
    _list = FreePageList(superBlock.pageCount());
    _list.add(2, superBlock.pageCount());
    _listed = _list;
    _changed = true;
    _prepared = false;
    _staged = false;
    flush();
    superBlock.addTrack(PageType::FreePageList, BitMask32(0xFFFFFFFF), 1, _page.checksum());
    _mergeThreshold = MinimumMergeThreshold;
}

void FixedSizeFreePageAllocator::open(IStorage& storage) {
    _storage = &storage;
    SuperBlock& superBlock = storage.superBlock();
    _page.bind(&superBlock, &storage.pageCache());
    _list = FreePageList(superBlock.pageCount());
    TrackListItem entry;
    const bool listed = superBlock.findTrack(PageType::FreePageList, entry) >= 0;
    const std::uint32_t number = listed ? entry.firstPage() : superBlock.freePageNumber();
    if (!storage.isReadOnly() && number != 0) {
        if (listed) {
            _page.loadVerified(number, PageType::FreePageList, entry.firstPageChecksum(), false);
        } else {
            // A version-2 file names the page without its checksum.
            _page.load(number, false);
            try {
                if (!(_page.type() == PageType::FreePageList)) {
                    throw VarnelException(VarnelException::StorageCorrupted,
                                          "free page number " + std::to_string(number) + " is a " +
                                              _page.type().toString() + " page");
                }
                _page.checkHeader();
            } catch (...) {
                _page.release();
                throw;
            }
        }
        _list.load(_page, superBlock.pageCount());
        _list.remove(number);
        _list.coalesce();
        _list.sort();
        // The page is rewritten merged and sorted at every open.
        _listed = _list;
        _changed = true;
        _prepared = false;
        _staged = false;
        flush();
    } else {
        _listed = FreePageList(superBlock.pageCount());
        _changed = false;
        _prepared = false;
        _staged = false;
    }
    _mergeThreshold = _list.intervalCount() > 9 ? _list.intervalCount() + 1 : MinimumMergeThreshold;
}

void FixedSizeFreePageAllocator::close() {
    _page.release();
    _list = FreePageList(0);
    _listed = FreePageList(0);
    _changed = false;
    _prepared = false;
    _staged = false;
    _storage = nullptr;
}

void FixedSizeFreePageAllocator::flush() {
    if (!_page.isLoaded() || !_changed) {
        return;
    }
    stage();
    if (_staged) {
        AIOContext::instance().flush(*_page.superBlock()->writer());
    }
    publish();
}

void FixedSizeFreePageAllocator::stage() {
    if (!_page.isLoaded() || !_changed || _prepared) {
        return;
    }
    const std::uint32_t slots = _page.slots();
    const std::uint32_t live = _page.itemCount();
    std::vector<FreePageListItem> items = _listed.intervals();
    if (live + items.size() > slots) {
        FreePageList merged = _listed;
        merged.coalesce();
        items = merged.intervals();
    }
    if (live + items.size() > slots) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              std::to_string(items.size()) + " free intervals do not fit beside the " +
                                  std::to_string(live) + " of the free-page list page " +
                                  std::to_string(_page.pageNumber()) + " (" + std::to_string(slots) + " slots)");
    }
    // Where the new list goes: into the header's own sector when it fits
    // there beside the live part (then the header write alone, one sector,
    // saves it), else from the tail of the live part on, which never reaches
    // its head.
    const std::uint32_t head = _page.slotOf(_page.firstItemOffset());
    const auto count = static_cast<std::uint32_t>(items.size());
    const auto headerSlots = std::min<std::uint32_t>(
        slots, static_cast<std::uint32_t>((_page.buffer().blockSize() - Page::IndexData) / FreePageListItem().size()));
    auto clearOfLive = [&](std::uint32_t start) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if ((start + i + slots - head) % slots < live) {
                return false;
            }
        }
        return true;
    };
    std::uint32_t start = _page.slotOf(_page.lastItemOffset());
    if (count <= headerSlots) {
        for (const std::uint32_t candidate : {0u, headerSlots - count}) {
            if (clearOfLive(candidate)) {
                start = candidate;
                break;
            }
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        _page.buffer().put(_page.offsetOfSlot((start + i) % slots), items[i]);
    }
    // Slots in the header's own sector reach the file with the header.
    _staged = _page.saveBodyDeferred();
    _stagedHead = _page.offsetOfSlot(start);
    _stagedTail = _page.offsetOfSlot((start + count) % slots);
    _stagedCount = count;
    _prepared = true;
}

void FixedSizeFreePageAllocator::publish() {
    if (!_page.isLoaded() || !_changed) {
        return;
    }
    if (!_prepared) {
        throw VarnelException(VarnelException::InvalidStorage, "free-page list published before it was staged");
    }
    _page.setFirstItemOffset(_stagedHead);
    _page.setLastItemOffset(_stagedTail);
    _page.setItemCount(_stagedCount);
    _page.saveHeader();
    _changed = false;
    _prepared = false;
    _staged = false;
}

bool FixedSizeFreePageAllocator::isListed(std::uint32_t number) const {
    return _page.isLoaded() && _listed.contains(number);
}

void FixedSizeFreePageAllocator::dump() const {
    trace("FreePageAllocator: %zu intervals, %llu free pages\n", _list.intervalCount(),
          static_cast<unsigned long long>(_list.freeCount()));
    for (const FreePageListItem& item : _list.intervals()) {
        trace("  %u~%u\n", item.first(), item.last());
    }
}

std::uint32_t FixedSizeFreePageAllocator::extract() { return _list.take(); }

void FixedSizeFreePageAllocator::requireRange(std::uint32_t first, std::uint32_t last) const {
    const std::uint32_t pageCount = _page.superBlock() ? _page.superBlock()->pageCount() : 0;
    if (!_page.isLoaded() || first == 0 || last < first || last > pageCount ||
        (_page.pageNumber() >= first && _page.pageNumber() <= last)) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "free pages " + std::to_string(first) + "~" + std::to_string(last) +
                                  " outside the pages of the storage");
    }
}

void FixedSizeFreePageAllocator::consume(std::uint32_t number) {
    if (_page.isLoaded() && _listed.remove(number)) {
        _changed = true;
        _prepared = false;
        _staged = false;
    }
    _list.remove(number);
}

namespace {

// The parts of first .. last that none of the intervals covers.
std::vector<FreePageListItem> gaps(std::vector<FreePageListItem> covered, std::uint32_t first, std::uint32_t last) {
    std::sort(covered.begin(), covered.end(),
              [](const FreePageListItem& a, const FreePageListItem& b) { return a.first() < b.first(); });
    std::vector<FreePageListItem> result;
    std::uint64_t next = first;
    for (const FreePageListItem& item : covered) {
        if (!item.overlaps(first, last)) {
            continue;
        }
        if (item.first() > next) {
            result.emplace_back(static_cast<std::uint32_t>(next), item.first() - 1);
        }
        next = std::max<std::uint64_t>(next, std::uint64_t{item.last()} + 1);
    }
    if (next <= last) {
        result.emplace_back(static_cast<std::uint32_t>(next), last);
    }
    return result;
}

} // namespace

void FixedSizeFreePageAllocator::addInterval(std::uint32_t first, std::uint32_t last) {
    requireRange(first, last);
    // Each form gets the parts of the range it does not list yet, so no page
    // is ever listed twice.
    for (const FreePageListItem& gap : gaps(_listed.intervals(), first, last)) {
        if (_listed.add(gap.first(), gap.last())) {
            _changed = true;
            _prepared = false;
            _staged = false;
        }
    }
    for (const FreePageListItem& gap : gaps(_list.intervals(), first, last)) {
        _list.add(gap.first(), gap.last());
    }
}

void FixedSizeFreePageAllocator::addPage(std::uint32_t number) {
    if (_list.contains(number)) {
        return;
    }
    addInterval(number, number);
}

void FixedSizeFreePageAllocator::settle() {
    _list.sort();
    const std::size_t count = _list.intervalCount();
    if (count <= _mergeThreshold) {
        return;
    }
    if (_list.coalesce()) {
        if (_list.intervalCount() < _mergeThreshold) {
            _mergeThreshold = _mergeThreshold < 20 ? MinimumMergeThreshold : _mergeThreshold / 2;
        }
    } else {
        _mergeThreshold *= 2;
    }
}

} // namespace ostrel
