#include "base/Trace.h"
#include "storage/util/internal/LastPageCorrector.h"

#include "base/Assert.h"
#include "base/Exception.h"
#include "base/Log.h"
#include "storage/IFreePageAllocator.h"
#include "storage/IRecordable.h"
#include "storage/RecordingTableElement.h"
#include "storage/Storage.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/CorrectionText.h"
#include "storage/util/internal/TrackCorrector.h"
#include "storage/util/internal/TrackItems.h"

#include <cstdlib>
#include <functional>
#include <set>

namespace ostrel {

std::uint32_t LastPageCorrector::lastPageNumberInSuperBlock(const PageType& type) const { return recordedLast(type); }

void LastPageCorrector::log(const std::string& text) {
    trace("%s\n", text.c_str());
    _storage.log(text, 2, true);
    ostrel::log(LogLevel::Debug, text.c_str());
}

std::uint32_t LastPageCorrector::recordedLast(const PageType& type) const {
    const std::optional<TrackListItem> entry = _storage.findTrack(type);
    return entry ? entry->lastPage() : 0;
}

void LastPageCorrector::run() {
    // Types are taken from a snapshot: deleting one track must not make the
    // walk skip the entry that moves into its place.
    for (const TrackListItem& entry : _storage.tracks()) {
        if (!_storage.hasTrack(entry.type())) {
            continue;
        }
        const std::uint32_t last = correctLastPage(entry.type());
        if (last != 0 && _storage.hasTrack(entry.type()) && last != recordedLast(entry.type())) {
            setNewLastPage(entry.type(), last);
        }
        if (_storage.hasTrack(entry.type())) {
            clearDanglingNext(entry.type());
        }
    }
    _storage.superBlock().save();
}

void LastPageCorrector::clearDanglingNext(const PageType& type) {
    // A track links its last page to a new page (and saves that link) before
    // the new page and the track list reach the disk. The media and pre-event
    // tracks are cut by the overflow correction; the ring of the log, the
    // free-page list and the journal do not chain pages.
    if (type == PageType::Media || type == PageType::PreEvent || type == PageType::Log ||
        type == PageType::FreePageList || type == PageType::Journal) {
        return;
    }
    try {
        const TrackListItem entry = *_storage.findTrack(type);
        Page page(&_storage.superBlock(), &_storage.pageCache());
        StorageUtility(_storage).loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), false);
        if (page.next() == 0 && page.nextChecksum() == 0) {
            return;
        }
        log(CorrectionText::format("[%s] %u page's next change [%u->0],[%u->0]", type.toString().c_str(),
                                   page.pageNumber(), page.next(), page.nextChecksum()));
        page.setNext(0);
        page.setNextChecksum(Page::InvalidPageChecksum);
        page.saveHeader();
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception& e) {
        log(e.toString());
    }
}

std::uint32_t LastPageCorrector::correctLastPage(const PageType& type) {
    if (!_storage.hasTrack(type)) {
        return 0;
    }
    if (checkTrackLastPage(type)) {
        return recordedLast(type);
    }
    if (cutTornLastPage(type)) {
        return recordedLast(type);
    }
    if (type == PageType::Timeline) {
        return findNewTimelineLastPage();
    }
    if (type == PageType::Media) {
        return findNewMediaLastPage();
    }
    return findNewLastPageNumberFromTrackFirst(type);
}

bool LastPageCorrector::checkTrackLastPage(const PageType& type) {
    if (type == PageType::FreePageList || type == PageType::Journal || type == PageType::Info ||
        type == PageType::Log || type == PageType::Bad) {
        return true;
    }
    std::unique_ptr<IRecordable> item = TrackItems::make(type);
    OSTREL_ASSERT(item != 0);
    if (!item) {
        return false;
    }
    const TrackListItem entry = *_storage.findTrack(type);
    try {
        StorageUtility utility(_storage);
        Page page(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), true);
        if (page.itemCount() == 0) {
            // An empty last page is what a track looks like right after a
            // page was chained to it (a storage group chains a fresh timeline
            // page to the member it switches to) and before the first item
            // reached it: the page is right when its predecessor is.
            if (page.previous() == 0) {
                return true; // a one-page track that holds nothing yet
            }
            Page previous(&_storage.superBlock(), &_storage.pageCache());
            utility.loadPreviousPage(page, previous, true);
            const std::uint32_t number = previous.pageNumber();
            previous.release();
            page.release();
            page.load(number, true);
            if (page.itemCount() == 0) {
                return false;
            }
        }
        TrackItems::readLast(page, *item);
        if (item->mediaID() == 0 || item->mediaID() != page.lastItemID()) {
            return false;
        }
        // A torn save can also leave a hole before the last item: every item
        // of the page must be there, in ascending order.
        return soundItems(page) == page.itemCount();
    } catch (const VarnelException& e) {
        log(e.toString());
        return false;
    } catch (const SystemException& e) {
        log(e.toString());
        logEcc(type);
        return false;
    }
}


std::uint32_t LastPageCorrector::soundItems(const Page& page) {
    std::unique_ptr<IRecordable> item = TrackItems::make(page.type());
    if (!item) {
        return page.itemCount();
    }
    // Section entries and the stop record of a text run repeat the media ID
    // of the item before them.
    const bool strictlyAscending = !(page.type() == PageType::RecordingTable) && !(page.type() == PageType::TextIn);
    std::uint32_t offset = page.firstItemOffset();
    std::uint64_t previous = 0;
    std::uint32_t sound = 0;
    while (sound < page.itemCount()) {
        if (offset < Page::IndexData || std::uint64_t{offset} + item->fixedSize() > page.pageSize()) {
            break;
        }
        const std::uint64_t length = TrackItems::readAt(page, offset, *item);
        const std::uint64_t id = item->mediaID();
        // Items are written in ascending media IDs between the page's first
        // and last ID; anything else is what a lost write left in the page.
        if (id == 0 || id > page.lastItemID() || (sound > 0 && (strictlyAscending ? id <= previous : id < previous)) ||
            (sound == 0 && id != page.firstItemID())) {
            break;
        }
        previous = id;
        ++sound;
        const std::uint64_t step = TrackItems::isFixedSize(page.type()) ? page.itemSize() : length;
        if (step == 0 || offset + step >= page.pageSize()) {
            break; // the last frame of the page may continue in the next page
        }
        offset += static_cast<std::uint32_t>(step);
    }
    return sound;
}

bool LastPageCorrector::cutTornLastPage(const PageType& type) {
    // The header of a last page can reach the disk ahead of the sectors of
    // its newest items: keep the items that are there rather than giving up
    // the page (and, for a one-page track, the whole track).
    std::unique_ptr<IRecordable> item = TrackItems::make(type);
    if (!item) {
        return false;
    }
    try {
        const TrackListItem entry = *_storage.findTrack(type);
        Page page(&_storage.superBlock(), &_storage.pageCache());
        StorageUtility(_storage).loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), false);
        const std::uint32_t count = page.itemCount();
        const std::uint32_t kept = count == 0 ? 0 : soundItems(page);
        if (kept == 0) {
            return false;
        }
        std::uint32_t offset = page.firstItemOffset();
        std::uint32_t lastOffset = offset;
        std::uint32_t mask = 0;
        std::uint64_t lastID = 0;
        for (std::uint32_t i = 0; i < kept; ++i) {
            const std::uint64_t length = TrackItems::readAt(page, offset, *item);
            lastOffset = offset;
            lastID = item->mediaID();
            if (item->marksChannel()) {
                mask |= item->channelMask().word();
            }
            offset += static_cast<std::uint32_t>(TrackItems::isFixedSize(type) ? page.itemSize() : length);
        }
        log(CorrectionText::format("[%s] %u page cut after %u of %u items", type.toString().c_str(),
                                   page.pageNumber(), kept, count));
        page.setItemCount(kept);
        page.setLastItemID(lastID);
        page.setLastItemOffset(lastOffset);
        page.setChannelMask(BitMask32(mask));
        page.saveHeader();
        return true;
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception& e) {
        log(e.toString());
        return false;
    }
}

void LastPageCorrector::walkForward(Page& page, std::uint32_t stop, std::uint32_t& newLast,
                                    const std::function<bool(const Page&)>& whole,
                                    const std::function<bool(const Page&)>& leadsOn) {
    StorageUtility utility(_storage);
    std::set<std::uint32_t> seen;
    while (page.pageNumber() != stop && seen.insert(page.pageNumber()).second) {
        if (whole && !whole(page)) {
            return;
        }
        newLast = page.pageNumber();
        Page next(&_storage.superBlock(), &_storage.pageCache());
        utility.loadNextPage(page, next, true);
        if (leadsOn && !leadsOn(next)) {
            return;
        }
        const std::uint32_t number = next.pageNumber();
        next.release();
        page.release();
        page.load(number, true);
    }
}

std::uint32_t LastPageCorrector::findNewLastPageNumberFromTrackFirst(const PageType& type) {
    const TrackListItem entry = *_storage.findTrack(type);
    if (entry.firstPage() == entry.lastPage()) {
        deleteTrack(type);
        return 0;
    }
    std::uint32_t newLast = 0;
    try {
        StorageUtility utility(_storage);
        std::unique_ptr<IRecordable> item = TrackItems::make(type);
        Page page(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(page, type, entry.firstPage(), entry.firstPageChecksum(), true);
        // Every page reached must be whole: its last item carries its last ID.
        walkForward(page, entry.lastPage(), newLast, [&item](const Page& reached) {
            OSTREL_ASSERT(reached.itemCount() > 0);
            if (item && reached.lastItemID() != 0) {
                TrackItems::readLast(reached, *item);
                return item->mediaID() == reached.lastItemID();
            }
            return true;
        }, nullptr);
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception& e) {
        log(e.toString());
    }
    log(CorrectionText::format("[%s] %u page is real last", type.toString().c_str(), newLast));
    return newLast;
}

std::uint32_t LastPageCorrector::newestPageNamedBy(const PageType& leader, const PageType& type,
                                                   const std::function<std::uint32_t(const IRecordable&)>& pageOf,
                                                   const std::function<bool(std::uint32_t)>& accept) {
    const std::uint32_t recorded = recordedLast(type);
    const std::uint32_t leaderLast = _storage.hasTrack(leader) ? correctLastPage(leader) : 0;
    if (leaderLast == 0 || !_storage.hasTrack(leader)) {
        return 0;
    }
    if (leaderLast != recordedLast(leader)) {
        setNewLastPage(leader, leaderLast);
    }
    std::unique_ptr<IRecordable> element = TrackItems::make(leader);
    try {
        TrackIterator it(_storage, leader);
        for (bool more = it.last(); more; more = it.previous()) {
            it.read(*element);
            const std::uint32_t page = pageOf(*element);
            if (page != 0 && page != recorded && accept(page)) {
                return page;
            }
        }
    } catch (const Exception& e) {
        log(e.toString());
    }
    return 0;
}

std::uint32_t LastPageCorrector::findNewTimelineLastPage() {
    // The recording table names the timeline page of each of its entries.
    const std::uint32_t newLast = newestPageNamedBy(
        PageType::RecordingTable, PageType::Timeline,
        [](const IRecordable& item) { return static_cast<const RecordingTableElement&>(item).position().number; },
        [this](std::uint32_t page) { return _storage.superBlock().isValidPageNumber(page); });
    if (newLast == 0) {
        // The recording table cannot lead anywhere: walk the timeline itself.
        return findNewLastPageNumberFromTrackFirst(PageType::Timeline);
    }
    const std::uint32_t newLastPage = newLast;
    OSTREL_ASSERT(newLastPage != lastPageNumberInSuperBlock(PageType::Timeline));
    log(CorrectionText::format("[%s] %u page is real last", PageType::Timeline.toString().c_str(), newLast));
    return newLast;
}

bool LastPageCorrector::isMediaPage(std::uint32_t pageNumber) {
    OSTREL_ASSERT(pageNumber != 0);
    const std::uint32_t number = pageNumber;
    if (!_storage.superBlock().isValidPageNumber(number)) {
        return false;
    }
    Page header(&_storage.superBlock(), &_storage.pageCache());
    header.loadHeader(number, false);
    return header.type() == PageType::Media && header.superChecksum() == _storage.superBlock().checksum();
}

std::uint32_t LastPageCorrector::findNewMediaLastPage() {
    const std::uint32_t recorded = recordedLast(PageType::Media);
    // The timeline names the media page of each frame (text-in records lie
    // in their own track).
    const std::uint32_t start = newestPageNamedBy(
        PageType::Timeline, PageType::Media,
        [](const IRecordable& item) {
            const auto& element = static_cast<const TimelineElement&>(item);
            return element.mediaType() != 3 ? element.mediaPosition().number : 0;
        },
        [this](std::uint32_t page) { return isMediaPage(page); });
    if (start == 0) {
        return findNewLastPageNumberFromTrackFirst(PageType::Media);
    }
    std::uint32_t newLast = 0;
    try {
        Page page(&_storage.superBlock(), &_storage.pageCache());
        page.load(start, true);
        page.checkHeader();
        // A successor is taken while it holds frames and its last frame is whole.
        std::unique_ptr<IRecordable> frame = TrackItems::make(PageType::Media);
        walkForward(page, recorded, newLast, nullptr, [&frame](const Page& next) {
            if (next.itemCount() == 0 || next.lastItemID() == 0) {
                return false;
            }
            TrackItems::readLast(next, *frame);
            return frame->mediaID() == next.lastItemID();
        });
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception& e) {
        log(e.toString());
    }
    if (newLast == 0 || newLast == recorded) {
        return findNewLastPageNumberFromTrackFirst(PageType::Media);
    }
    const std::uint32_t newLastPage = newLast;
    OSTREL_ASSERT(newLastPage != 0 && newLastPage != lastPageNumberInSuperBlock(PageType::Media));
    log(CorrectionText::format("[%s] %u page is real last", PageType::Media.toString().c_str(), newLast));
    return newLast;
}

void LastPageCorrector::setNewLastPage(const PageType& type, std::uint32_t page) {
    const std::uint32_t recorded = recordedLast(type);
    log(CorrectionText::format("%s Type recover", type.toString().c_str()));
    log(CorrectionText::format("%u -> %u recover", recorded, page));
    if (page == 0) {
        deleteTrack(type);
        return;
    }
    Page header(&_storage.superBlock(), &_storage.pageCache());
    header.loadHeader(page, false);
    const std::uint32_t checksum = header.checksum();
    header.release();
    // The pages after the new last page (the recorded last page among them)
    // were never completed: free the whole tail the new page still links to.
    {
        Page tail(&_storage.superBlock(), &_storage.pageCache());
        std::uint32_t number = page;
        std::set<std::uint32_t> seen{page};
        tail.load(page, false);
        std::uint32_t next = tail.next();
        std::uint32_t nextChecksum = tail.nextChecksum();
        if (next != 0 || nextChecksum != 0) {
            tail.setNext(0);
            tail.setNextChecksum(Page::InvalidPageChecksum);
            tail.saveHeader();
        }
        tail.release();
        while (next != 0 && _storage.superBlock().isValidPageNumber(next) && seen.insert(next).second) {
            Page follower(&_storage.superBlock(), &_storage.pageCache());
            follower.loadHeader(next, false);
            if (!(follower.type() == type) || follower.checksum() != nextChecksum || follower.previous() != number) {
                break;
            }
            addFreePage(next);
            number = next;
            next = follower.next();
            nextChecksum = follower.nextChecksum();
        }
    }
    if (recorded != page) {
        addFreePage(recorded);
    }
    _storage.superBlock().setTrackLast(type, page, checksum);
    _storage.setTrackLast(type, page, checksum);
    _storage.superBlock().save();
}

void LastPageCorrector::deleteTrack(const PageType& type) {
    const std::uint32_t recorded = recordedLast(type);
    logEcc(type);
    addFreePage(recorded);
    log(CorrectionText::format("%s Track delete", type.toString().c_str()));
    _storage.superBlock().removeTrack(type);
    _storage.removeTrack(type);
    _storage.superBlock().save();
}

void LastPageCorrector::logEcc(const PageType& type) {
    const std::uint32_t recorded = recordedLast(type);
    log(CorrectionText::format("%s <%u> ECC Error", type.toString().c_str(), recorded));
    try {
        Page page(&_storage.superBlock(), &_storage.pageCache());
        page.format(PageType::Null, recorded, 0, 0, 0);
        page.setChecksum(0);
        page.save();
        page.release();
    } catch (const Exception& e) {
        log(CorrectionText::format("%s ECC Page Init Error", type.toString().c_str()));
        throw VarnelException(VarnelException::StorageCorrupted, e.toString());
    }
    log(CorrectionText::format("%s ECC Recover OK", type.toString().c_str()));
}

void LastPageCorrector::addFreePage(std::uint32_t number) {
    if (number == 0) {
        log("NULL PAGE NOT ADD TO FREE PAGE");
        return;
    }
    IFreePageAllocator& allocator = _storage.freePageAllocator();
    if (allocator.isFree(number)) {
        OSTREL_ASSERT(allocator.isListed(number));
        log(CorrectionText::format("%u page already add to Free page list", number));
        return;
    }
    allocator.addPage(number);
    log(CorrectionText::format("%u page add to Free page list", number));
    allocator.flush();
}

} // namespace ostrel
