#include "storage/FixedSizeFreePageAllocator.h"

#include "base/Trace.h"
#include "storage/IStorage.h"
#include "storage/VarnelException.h"
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
    _list.store(_page);
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
        _list.store(_page);
    }
    _mergeThreshold = _list.intervalCount() > 9 ? _list.intervalCount() + 1 : MinimumMergeThreshold;
}

void FixedSizeFreePageAllocator::close() {
    _page.release();
    _list = FreePageList(0);
    _storage = nullptr;
}

void FixedSizeFreePageAllocator::flush() {
    if (_page.isLoaded()) {
        // Taking a page out of the middle of an interval (a page extracted
        // later is often saved first) rewrites the live item in place and adds
        // one behind the live range: the header that names the live range must
        // reach the file in the same transfer, or a process killed in between
        // leaves a list that lost the rest of that interval.
        _page.saveDirtyAtOnce();
    }
}

bool FixedSizeFreePageAllocator::isListed(std::uint32_t number) const {
    return _page.isLoaded() && _page.isListed(number);
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
    if (_page.isLoaded()) {
        _page.remove(number);
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
    // is ever listed twice. The page goes first: when it has no room the
    // change is refused before the in-memory list moves.
    std::vector<FreePageListItem> listed;
    listed.reserve(_page.itemCount());
    for (std::uint32_t i = 0; i < _page.itemCount(); ++i) {
        FreePageListItem item;
        _page.at(i, item);
        listed.push_back(item);
    }
    for (const FreePageListItem& gap : gaps(std::move(listed), first, last)) {
        _page.addInterval(gap.first(), gap.last());
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
