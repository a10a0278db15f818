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

bool StorageChecker::fail(const std::string& problem) {
    _problem = problem;
    return false;
}

bool StorageChecker::check() {
    _problem.clear();
    try {
        if (_storage.isAbleTo(VarnelAbility::Journaling) && !StorageUtility(_storage).isEmpty(PageType::Journal)) {
            return fail("the journal holds an unfinished transaction");
        }
        return checkTracks() && checkTimeline() && checkRecordingTable();
    } catch (const VarnelException& e) {
        traceException(e);
        return fail(e.toString());
    } catch (const SystemException& e) {
        traceException(e);
        return fail(e.toString());
    }
}

bool StorageChecker::checkTracks() {
    StorageUtility utility(_storage);
    for (const TrackListItem& entry : _storage.tracks()) {
        Page first(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(first, entry.type(), entry.firstPage(), entry.firstPageChecksum(), true);
        const std::string type = entry.type().toString();
        if (first.previous() != 0 || first.previousChecksum() != 0) {
            return fail(type + " first page " + std::to_string(entry.firstPage()) + " has a previous page");
        }
        if (entry.firstPage() == entry.lastPage()) {
            if (first.next() != 0 || first.nextChecksum() != 0) {
                return fail(type + " last page " + std::to_string(entry.lastPage()) + " has a next page");
            }
            continue;
        }
        first.release();
        Page last(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(last, entry.type(), entry.lastPage(), entry.lastPageChecksum(), true);
        if (last.next() != 0 || last.nextChecksum() != 0) {
            return fail(type + " last page " + std::to_string(entry.lastPage()) + " has a next page");
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
        return fail("the timeline's first element cannot be read");
    }
    it.read(element);
    if (!namesItem(_storage, element)) {
        return fail("the timeline's first element " + std::to_string(element.mediaID()) + " names no stored item");
    }
    if (!it.last()) {
        return fail("the timeline's last element cannot be read");
    }
    it.read(element);
    return namesItem(_storage, element) ||
           fail("the timeline's last element " + std::to_string(element.mediaID()) + " names no stored item");
}

bool StorageChecker::checkRecordingTable() {
    if (StorageUtility(_storage).isEmpty(PageType::RecordingTable)) {
        return true;
    }
    TrackIterator it(_storage, PageType::RecordingTable);
    RecordingTableElement element;
    if (!it.first()) {
        return fail("the recording table's first element cannot be read");
    }
    it.read(element);
    if (element.channelMask().word() == 0 || !timelineHolds(_storage, element.position(), element.mediaID())) {
        return fail("the recording table's first section names no timeline element");
    }
    if (!it.last()) {
        return fail("the recording table's last element cannot be read");
    }
    it.read(element);
    if (element.channelMask().word() != 0) {
        return timelineHolds(_storage, element.position(), element.mediaID()) ||
               fail("the recording table's last section names no timeline element");
    }
    // A closing entry names the page's last video element.
    const PagePosition& position = element.position();
    if (!_storage.superBlock().isValidPosition(position)) {
        return fail("the recording table's closing entry names no video element");
    }
    Page page(&_storage.superBlock(), &_storage.pageCache());
    page.load(position.number, true);
    page.checkHeader();
    if (!(page.type() == PageType::Timeline) || page.itemCount() == 0) {
        return fail("the recording table's closing entry names no video element");
    }
    for (std::uint32_t offset = page.lastItemOffset(); offset >= page.firstItemOffset();
         offset -= TimelineElement::FixedSize) {
        TimelineElement candidate;
        TrackItems::readAt(page, offset, candidate);
        if (candidate.mediaType() == 0) {
            return offset == position.offset || fail("the recording table's closing entry names no last video element");
        }
        if (offset < TimelineElement::FixedSize) {
            break;
        }
    }
    return fail("the recording table's closing entry names no video element");
}

} // namespace ostrel
