#include "storage/util/StorageChecker.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/Storage.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/TrackItems.h"

namespace ostrel {

bool StorageChecker::check() {
    try {
        if (_storage.isAbleTo(VarnelAbility::Journaling) && !StorageUtility(_storage).isEmpty(PageType::Journal)) {
            return false;
        }
        return checkTracks() && checkTimeline() && checkRecordingTable();
    } catch (const VarnelException& e) {
        traceException(e);
        return false;
    } catch (const SystemException& e) {
        traceException(e);
        return false;
    }
}

bool StorageChecker::checkTracks() {
    StorageUtility utility(_storage);
    for (const TrackListItem& entry : _storage.tracks()) {
        Page first(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(first, entry.type(), entry.firstPage(), entry.firstPageChecksum(), true);
        if (first.previous() != 0 || first.previousChecksum() != 0) {
            return false;
        }
        if (entry.firstPage() == entry.lastPage()) {
            if (first.next() != 0 || first.nextChecksum() != 0) {
                return false;
            }
            continue;
        }
        first.release();
        Page last(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(last, entry.type(), entry.lastPage(), entry.lastPageChecksum(), true);
        if (last.next() != 0 || last.nextChecksum() != 0) {
            return false;
        }
    }
    return true;
}

namespace {

// Whether the element names an item of its media type carrying its media ID.
bool namesItem(Storage& storage, const TimelineElement& element) {
    const PagePosition& position = element.mediaPosition();
    if (!storage.superBlock().isValidPosition(position)) {
        return false;
    }
    Page page(&storage.superBlock(), &storage.pageCache());
    page.load(position.number, true);
    page.checkHeader();
    std::unique_ptr<IRecordable> item;
    if (element.mediaType() == 3) {
        if (!(page.type() == PageType::TextIn)) return false;
        item = TrackItems::make(PageType::TextIn);
    } else if (element.mediaType() == 0 || element.mediaType() == 1) {
        if (!(page.type() == PageType::Media) && !(page.type() == PageType::PreEvent)) return false;
        item = TrackItems::make(PageType::Media);
    } else {
        return false;
    }
    TrackItems::readAt(page, position.offset, *item);
    return item->mediaID() == element.mediaID();
}

// The timeline element at `position` carries `mediaID`.
bool timelineHolds(Storage& storage, const PagePosition& position, std::uint64_t mediaID) {
    if (!storage.superBlock().isValidPosition(position)) {
        return false;
    }
    Page page(&storage.superBlock(), &storage.pageCache());
    page.load(position.number, true);
    page.checkHeader();
    if (!(page.type() == PageType::Timeline)) {
        return false;
    }
    TimelineElement element;
    TrackItems::readAt(page, position.offset, element);
    return element.mediaID() == mediaID;
}

} // namespace

bool StorageChecker::checkTimeline() {
    if (StorageUtility(_storage).isEmpty(PageType::Timeline)) {
        return true;
    }
    TrackIterator it(_storage, PageType::Timeline);
    TimelineElement element;
    if (!it.first()) {
        return false;
    }
    it.read(element);
    if (!namesItem(_storage, element)) {
        return false;
    }
    if (!it.last()) {
        return false;
    }
    it.read(element);
    return namesItem(_storage, element);
}

bool StorageChecker::checkRecordingTable() {
    if (StorageUtility(_storage).isEmpty(PageType::RecordingTable)) {
        return true;
    }
    TrackIterator it(_storage, PageType::RecordingTable);
    RecordingTableElement element;
    if (!it.first()) {
        return false;
    }
    it.read(element);
    if (element.channelMask().word() == 0 || !timelineHolds(_storage, element.position(), element.mediaID())) {
        return false;
    }
    if (!it.last()) {
        return false;
    }
    it.read(element);
    if (element.channelMask().word() != 0) {
        return timelineHolds(_storage, element.position(), element.mediaID());
    }
    // A closing entry names the page's last video element.
    const PagePosition& position = element.position();
    if (!_storage.superBlock().isValidPosition(position)) {
        return false;
    }
    Page page(&_storage.superBlock(), &_storage.pageCache());
    page.load(position.number, true);
    page.checkHeader();
    if (!(page.type() == PageType::Timeline) || page.itemCount() == 0) {
        return false;
    }
    for (std::uint32_t offset = page.lastItemOffset(); offset >= page.firstItemOffset();
         offset -= TimelineElement::FixedSize) {
        TimelineElement candidate;
        TrackItems::readAt(page, offset, candidate);
        if (candidate.mediaType() == 0) {
            return offset == position.offset;
        }
        if (offset < TimelineElement::FixedSize) {
            break;
        }
    }
    return false;
}

} // namespace ostrel
