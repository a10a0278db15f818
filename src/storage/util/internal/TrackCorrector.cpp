#include "base/Trace.h"
#include "storage/util/internal/TrackCorrector.h"

#include "base/Assert.h"
#include "storage/FreePageList.h"
#include "storage/IFreePageAllocator.h"
#include "storage/IRecordable.h"
#include "storage/RecorderType.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/Transaction.h"
#include "storage/transaction/TrackDeletionTransaction.h"
#include "storage/transaction/TruncateAfterTransaction.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/CorrectionText.h"
#include "storage/util/internal/TrackItems.h"

#include <set>

namespace ostrel {

namespace {

using ull = unsigned long long;

} // namespace

void TrackCorrector::log(const std::string& text) {
    trace("[CORRECTION] %s\n", text.c_str());
    _storage.log("[CORRECTION] " + text, 2, true);
}

void TrackCorrector::truncateBefore(const PageType& type, std::uint64_t before, std::uint32_t section) {
    StorageUtility utility(_storage);
    if (utility.isEmpty(type)) {
        return;
    }
    const TrackListItem entry = *_storage.findTrack(type);
    Page page(&_storage.superBlock(), &_storage.pageCache());
    utility.loadPage(page, type, entry.firstPage(), entry.firstPageChecksum(), false);
    log(type.toString() + CorrectionText::format(" truncateBefore: firstPage [%u], (before:%llu,section:%u)",
                                                 page.pageNumber(), static_cast<ull>(before), section));
    FreePageList pages(_storage.superBlock().pageCount());
    std::set<std::uint32_t> seen;
    const bool sections = bySection(type, section);
    std::unique_ptr<IRecordable> last = TrackItems::make(type);
    // A page lies wholly before the cut when its last item does.
    auto wholeBefore = [&](const Page& p) {
        if (p.itemCount() == 0) {
            return true;
        }
        if (sections) {
            TrackItems::readLast(p, *last);
        }
        return liesBefore(type, *last, p.lastItemID(), before, section);
    };
    while (wholeBefore(page)) {
        if (!seen.insert(page.pageNumber()).second) {
            throw VarnelException(VarnelException::StorageCorrupted, type.toString() + " chain loops");
        }
        if (page.next() == 0 || page.pageNumber() == _storage.findTrack(type)->lastPage()) {
            log(CorrectionText::format(" [%u] page's next is null", page.pageNumber()));
            page.release();
            deleteTrack(type);
            return;
        }
        if (TrackItems::carriesMedia(type)) {
            log(CorrectionText::format("intent to delete media page %u(%u) last_id=", page.pageNumber(),
                                       page.itemCount()) +
                std::to_string(page.lastItemID()) + " before=" + std::to_string(before));
        }
        pages.add(page.pageNumber(), page.pageNumber());
        Page next(&_storage.superBlock(), &_storage.pageCache());
        utility.loadNextPage(page, next, false);
        const std::uint32_t number = next.pageNumber();
        next.release();
        page.release();
        page.load(number, false);
    }
    const bool changed = removeItemsBefore(page, before, section);
    if (pages.isEmpty() && !changed) {
        log(CorrectionText::format("hasRemoveItemsBefore(%u,%u,%u,%llu,%llu)", page.pageNumber(),
                                   page.firstItemOffset(), page.itemCount(), static_cast<ull>(page.firstItemID()),
                                   static_cast<ull>(before)));
        return;
    }
    log(type.toString() + CorrectionText::format(" First change to [%u]", page.pageNumber()));
    Transaction transaction(_storage);
    transaction.addFreePages(pages);
    transaction.add(
        std::make_unique<UpdateTrackFirstTransactionLog>(_storage, type, page.pageNumber(), page.checksum()));
    transaction.add(std::make_unique<FlushPageTransactionLog>(_storage, page, false, false));
    transaction.run();
    _storage.setTrackFirst(type, page.pageNumber(), page.checksum());
}

bool TrackCorrector::bySection(const PageType& type, std::uint32_t section) const {
    return section != 0 && _storage.recorderType() == RecorderType::Archive &&
           (type == PageType::RecordingTable || type == PageType::Event || type == PageType::TextIn);
}

bool TrackCorrector::liesBefore(const PageType& type, const IRecordable& item, std::uint64_t id,
                                std::uint64_t before, std::uint32_t section) const {
    if (bySection(type, section)) {
        const std::optional<std::uint32_t> itemSection = TrackItems::sectionOf(type, item);
        if (itemSection && *itemSection != section) {
            return *itemSection < section;
        }
    }
    return id < before;
}

bool TrackCorrector::removeItemsBefore(Page& page, std::uint64_t before, std::uint32_t section) {
    bool changed = false;
    if (page.previous() != 0 || page.previousChecksum() != 0) {
        page.setPrevious(0);
        page.setPreviousChecksum(Page::InvalidPageChecksum);
        log(CorrectionText::format("set [%u] page's previousAsNull", page.pageNumber()));
        changed = true;
    }
    const bool sections = bySection(page.type(), section);
    std::unique_ptr<IRecordable> item = TrackItems::make(page.type());
    if (page.itemCount() > 0 && sections) {
        TrackItems::readAt(page, page.firstItemOffset(), *item);
    }
    if (page.itemCount() == 0 || !liesBefore(page.type(), *item, page.firstItemID(), before, section)) {
        if (TrackItems::carriesMedia(page.type()) && page.firstItemOffset() > Page::IndexData) {
            // The bytes before the first frame continue a frame of the page
            // that was cut away; they no longer belong to any frame.
            changed = true;
        }
        return changed;
    }
    OSTREL_ASSERT(page.previous() == 0);
    OSTREL_ASSERT(page.previousChecksum() == Page::InvalidPageChecksum);
    if (!sections) {
        OSTREL_ASSERT(page.lastItemID() >= before);
    }
    const std::uint32_t count = page.itemCount();
    std::uint32_t offset = page.firstItemOffset();
    std::uint32_t removed = 0;
    std::uint64_t firstID = page.firstItemID();
    while (removed < count) {
        const std::uint64_t length = TrackItems::readAt(page, offset, *item);
        if (!liesBefore(page.type(), *item, item->mediaID(), before, section)) {
            firstID = item->mediaID();
            break;
        }
        offset += static_cast<std::uint32_t>(TrackItems::isFixedSize(page.type()) ? page.itemSize() : length);
        ++removed;
    }
    if (!sections) {
        OSTREL_ASSERT(item->mediaID() >= before);
    }

    const std::int64_t remainings = static_cast<std::int64_t>(count) - removed;
    OSTREL_ASSERT(remainings >= 0);
    log(CorrectionText::format("#[%u]:First ID [%llu -> %llu]", page.pageNumber(),
                               static_cast<ull>(page.firstItemID()), static_cast<ull>(firstID)));
    log(CorrectionText::format("#[%u]:First OFFSET [%u -> %u]", page.pageNumber(), page.firstItemOffset(), offset));
    log(CorrectionText::format("#[%u]:Item Count [%u -> %u]", page.pageNumber(), count,
                               static_cast<std::uint32_t>(remainings)));
    page.setFirstItemID(firstID);
    page.setFirstItemOffset(offset);
    page.setItemCount(static_cast<std::uint32_t>(remainings));
    return true;
}

void TrackCorrector::truncateAfter(const PageType& type, std::uint64_t after, std::uint32_t section) {
    StorageUtility utility(_storage);
    if (utility.isEmpty(type)) {
        return;
    }
    const TrackListItem entry = *_storage.findTrack(type);
    Page page(&_storage.superBlock(), &_storage.pageCache());
    utility.loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), false);
    log(type.toString() + CorrectionText::format(" truncateAfter: lastPage [%u], (after:%llu,section:%u)",
                                                 page.pageNumber(), static_cast<ull>(after), section));
    FreePageList pages(_storage.superBlock().pageCount());
    std::set<std::uint32_t> seen;
    // A page lies wholly after the cut when its first item does, or when it
    // holds no item and does not carry the tail of an earlier frame.
    auto wholeAfter = [&](const Page& p) {
        if (p.firstItemOffset() > Page::IndexData && TrackItems::carriesMedia(type)) {
            return false;
        }
        return p.itemCount() == 0 ? p.previous() != 0 : p.firstItemID() > after;
    };
    while (wholeAfter(page)) {
        if (!seen.insert(page.pageNumber()).second) {
            throw VarnelException(VarnelException::StorageCorrupted, type.toString() + " chain loops");
        }
        if (page.previous() == 0 || page.pageNumber() == entry.firstPage()) {
            log("truncateAfter :" + type.toString() +
                CorrectionText::format(" [%u] page's prev is null", page.pageNumber()));
            log(CorrectionText::format("%u is TrackFirst", page.pageNumber()));
            page.release();
            deleteTrack(type);
            return;
        }
        pages.add(page.pageNumber(), page.pageNumber());
        Page previous(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPreviousPage(page, previous, false);
        const std::uint32_t number = previous.pageNumber();
        previous.release();
        page.release();
        page.load(number, false);
    }
    const bool changed = removeItemsAfter(page, after);
    if (pages.isEmpty() && !changed) {
        log(CorrectionText::format("hasRemoveItemsAfter(%llu,%u,%u,%llu)", static_cast<ull>(page.lastItemID()),
                                   page.lastItemOffset(), page.itemCount(), static_cast<ull>(after)));
        return;
    }
    TruncateAfterTransaction(_storage, pages, page).run();
    _storage.setTrackLast(type, page.pageNumber(), page.checksum());
}

bool TrackCorrector::removeItemsAfter(Page& page, std::uint64_t after) {
    bool changed = false;
    if (page.next() != 0 || page.nextChecksum() != 0) {
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
        changed = true;
    }
    const std::uint32_t count = page.itemCount();
    if (count == 0 || page.lastItemID() <= after) {
        log(CorrectionText::format("removeItemsAfter :[%u] page no need to remove items", page.pageNumber()));
        return changed;
    }
    OSTREL_ASSERT(page.firstItemID() <= after || page.firstItemOffset() > Page::IndexData);
    std::unique_ptr<IRecordable> item = TrackItems::make(page.type());
    std::uint32_t kept = 0;
    std::uint32_t offset = page.firstItemOffset();
    std::uint32_t lastOffset = Page::IndexData;
    std::uint64_t lastID = 0;
    std::uint32_t mask = 0;
    while (kept < count) {
        const std::uint64_t length = TrackItems::readAt(page, offset, *item);
        if (item->mediaID() > after) {
            break;
        }
        OSTREL_ASSERT(item->mediaID() <= after);
        lastOffset = offset;
        lastID = item->mediaID();
        if (item->marksChannel()) {
            mask |= item->channelMask().word();
        }
        ++kept;
        if (kept < count) {
            if (std::uint64_t{offset} + length >= page.pageSize()) {
                break;
            }
            offset += static_cast<std::uint32_t>(TrackItems::isFixedSize(page.type()) ? page.itemSize() : length);
        }
    }
    log(CorrectionText::format("#[%u]:Item Count [%u -> %u]", page.pageNumber(), count, kept));
    log(CorrectionText::format("#[%u]:Last ID [%llu -> %llu]", page.pageNumber(), static_cast<ull>(page.lastItemID()),
                               static_cast<ull>(lastID)));
    log(CorrectionText::format("#[%u]:Last OFFSET [%u -> %u]", page.pageNumber(), page.lastItemOffset(), lastOffset));
    page.setItemCount(kept);
    page.setChannelMask(BitMask32(mask));
    page.setLastItemID(lastID);
    page.setLastItemOffset(lastOffset);
    if (kept == 0) {
        page.setFirstItemID(0);
    }
    OSTREL_ASSERT(page.isEmpty() || page.firstItemID() <= after);
    OSTREL_ASSERT(page.next() == 0);
    OSTREL_ASSERT(page.nextChecksum() == Page::InvalidPageChecksum);
    return true;
}

void TrackCorrector::truncateLastOverflowedFrame(Page& page) {
    const PageType type = page.type();
    if (!TrackItems::carriesMedia(type)) {
        log(type.toString() + " is not overflow-able Page");
        return;
    }
    if (page.itemCount() == 0) {
        if (page.next() != 0 || page.nextChecksum() != 0) {
            log(CorrectionText::format("truncateLastOverflowedFrame : [%u]'s next change [%u->0],[%u->0]",
                                       page.pageNumber(), page.next(), page.nextChecksum()));
            page.setNext(0);
            page.setNextChecksum(Page::InvalidPageChecksum);
            page.saveHeader();
        }
        return;
    }
    std::unique_ptr<IRecordable> frame = TrackItems::make(type);
    const std::uint64_t end = page.lastItemOffset() + TrackItems::readAt(page, page.lastItemOffset(), *frame);
    if (end > page.pageSize()) {
        if (page.itemCount() == 1 && page.previous() == 0) {
            log(type.toString() + " truncateLastOverflowedFrame deleteTrack");
            const std::uint32_t number = page.pageNumber();
            page.release();
            deleteTrack(type, number);
            return;
        }
        const std::uint64_t lastID = page.lastItemID();
        removeItemsAfter(page, lastID - 1);
        log(type.toString() + " truncateLastOverflowedFrame " + std::to_string(lastID) + ", result last " +
            std::to_string(page.lastItemID()));
    } else if (page.next() != 0 || page.nextChecksum() != 0) {
        log(CorrectionText::format("truncateLastOverflowedFrame : [%u]'s next change [%u->0],[%u->0]",
                                   page.pageNumber(), page.next(), page.nextChecksum()));
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
    } else {
        return;
    }
    page.saveHeader();
}

void TrackCorrector::deleteTrack(const PageType& type) { deleteTrack(type, 0); }

void TrackCorrector::deleteTrack(const PageType& type, std::uint32_t) {
    const std::optional<TrackListItem> entry = _storage.findTrack(type);
    if (!entry) {
        return;
    }
    FreePageList pages(_storage.superBlock().pageCount());
    Page page(&_storage.superBlock(), &_storage.pageCache());
    std::uint32_t number = entry->firstPage();
    std::uint32_t checksum = entry->firstPageChecksum();
    std::set<std::uint32_t> seen;
    // Only pages that really are this track's chain are freed: a link into a
    // page of another track or a free page ends the collection.
    while (number != 0 && _storage.superBlock().isValidPageNumber(number) && seen.insert(number).second) {
        try {
            page.loadHeader(number, false);
        } catch (const Exception&) {
            break;
        }
        if (!(page.type() == type) || page.checksum() != checksum ||
            page.superChecksum() != _storage.superBlock().checksum()) {
            break;
        }
        if (!_storage.freePageAllocator().isFree(number)) {
            pages.add(number, number);
        }
        if (number == entry->lastPage()) {
            break;
        }
        checksum = page.nextChecksum();
        number = page.next();
    }
    page.release();
    log("delete track: " + type.toString());
    TrackDeletionTransaction(_storage, pages, type).run();
    _storage.removeTrack(type);
}

} // namespace ostrel
