#include "storage/util/internal/StorageRecoveryUtil.h"

#include "base/Assert.h"
#include "storage/FreePageList.h"
#include "storage/IFreePageAllocator.h"
#include "storage/MediaElement.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/TruncateAfterTransaction.h"
#include "storage/util/internal/CorrectionText.h"
#include "storage/util/internal/TrackItems.h"

#include <set>

namespace ostrel {

void StorageRecoveryUtil::fix(Storage& storage, const PagePosition& position) {
    Page page(&storage.superBlock(), &storage.pageCache());
    page.load(position.number, false);
    page.checkHeader();
    const Page& _page = page;
    OSTREL_ASSERT(_page.type() == PageType::Media);
    if (!(page.type() == PageType::Media)) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "media cut at page " + std::to_string(position.number) + ": not a media page");
    }
    // Keep the frames that start before the position and end inside the page.
    std::uint32_t offset = page.firstItemOffset();
    std::uint32_t kept = 0;
    std::uint32_t mask = 0;
    std::uint32_t lastOffset = Page::IndexData;
    std::uint64_t lastID = 0;
    std::uint64_t firstID = 0;
    MediaElement frame;
    while (kept < page.itemCount() && offset < position.offset) {
        const std::uint64_t length = TrackItems::readAt(page, offset, frame);
        if (std::uint64_t{offset} + length > page.pageSize()) {
            break;
        }
        if (kept == 0) {
            firstID = frame.mediaID();
        }
        lastOffset = offset;
        lastID = frame.mediaID();
        if (frame.marksChannel()) {
            mask |= frame.channelMask().word();
        }
        ++kept;
        offset += static_cast<std::uint32_t>(length);
    }
    const std::uint32_t oldNext = page.next();
    const std::uint32_t oldNextChecksum = page.nextChecksum();
    page.setItemCount(kept);
    page.setChannelMask(BitMask32(mask));
    page.setLastItemID(lastID);
    page.setLastItemOffset(lastOffset);
    page.setFirstItemID(kept == 0 ? 0 : firstID);
    page.setNext(0);
    page.setNextChecksum(Page::InvalidPageChecksum);
    // The pages that followed in the old chain go back to the free list.
    FreePageList pages(storage.superBlock().pageCount());
    std::uint32_t previous = page.pageNumber();
    std::uint32_t number = oldNext;
    std::uint32_t checksum = oldNextChecksum;
    std::set<std::uint32_t> seen{previous};
    while (number != 0 && storage.superBlock().isValidPageNumber(number) && seen.insert(number).second) {
        Page header(&storage.superBlock(), &storage.pageCache());
        header.loadHeader(number, false);
        if (!(header.type() == PageType::Media) || header.checksum() != checksum || header.previous() != previous) {
            break;
        }
        if (!storage.freePageAllocator().isFree(number)) {
            pages.add(number, number);
        }
        previous = number;
        checksum = header.nextChecksum();
        number = header.next();
    }
    TruncateAfterTransaction(storage, pages, page).run();
    storage.setTrackLast(PageType::Media, page.pageNumber(), page.checksum());
    storage.log(CorrectionText::format("<%s> %u setTrackLast", PageType::Media.toString().c_str(), page.pageNumber()),
                2, true);
}

} // namespace ostrel
