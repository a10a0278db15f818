#include "base/Trace.h"
#include "storage/util/StorageCorrector.h"

#include "base/Assert.h"
#include "base/Exception.h"
#include "storage/EventElement.h"
#include "storage/IRecordable.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/Storage.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/ITransactionHandler.h"
#include "storage/util/StorageChecker.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/CorrectionText.h"
#include "storage/util/internal/FirstPageCorrector.h"
#include "storage/util/internal/LastPageCorrector.h"
#include "storage/util/internal/StorageRecoverer.h"
#include "storage/util/internal/TrackItems.h"

#include <algorithm>
#include <limits>

namespace ostrel {

namespace {

using ull = unsigned long long;

const PageType* const DataTracks[] = {&PageType::Timeline, &PageType::RecordingTable, &PageType::Media,
                                      &PageType::Event,    &PageType::PreEvent,       &PageType::TextIn};

} // namespace

StorageCorrector::StorageCorrector(Storage& storage) : _storage(storage), _tracks(storage) {}

StorageCorrector::~StorageCorrector() = default;

void StorageCorrector::log(const std::string& text, int level) {
    trace("[CORRECTION] %s\n", text.c_str());
    _storage.log("[CORRECTION] " + text, level, true);
}

bool StorageCorrector::correctAtOpen(Storage& storage, int mode, std::uint64_t& nextItemID) {
    StorageCorrector corrector(storage);
    if (storage.isReadOnly() || mode <= 0) {
        if (!StorageChecker(storage).check()) {
            return false;
        }
    } else if (!corrector.correct(mode >= 2)) {
        return false;
    }
    nextItemID = corrector.nextItemID();
    return true;
}

void StorageCorrector::rollbackTransaction() {
    if (_storage.isAbleTo(VarnelAbility::Journaling)) {
        _storage.transactionHandler().recover();
        syncTrackList();
    }
}

void StorageCorrector::syncTrackList() {
    // The rollback undoes track-list steps in the superblock; the running
    // engine and the correctors consult the storage's copy of the list, so
    // it must say what the superblock says (a first page moved back by the
    // rollback would otherwise still name the page the undone step chose).
    SuperBlock& superBlock = _storage.superBlock();
    for (const TrackListItem& item : _storage.tracks()) {
        if (!superBlock.findTrack(item.type())) {
            _storage.removeTrack(item.type());
        }
    }
    TrackListItem item;
    for (std::size_t i = 0; superBlock.getTrack(i, item); ++i) {
        const std::optional<TrackListItem> mirrored = _storage.findTrack(item.type());
        if (!mirrored) {
            _storage.addTrack(item.type(), item.channelMask(), item.firstPage(), item.firstPageChecksum());
        } else if (mirrored->firstPage() != item.firstPage() ||
                   mirrored->firstPageChecksum() != item.firstPageChecksum()) {
            _storage.setTrackFirst(item.type(), item.firstPage(), item.firstPageChecksum());
        }
        if (!mirrored || mirrored->lastPage() != item.lastPage() ||
            mirrored->lastPageChecksum() != item.lastPageChecksum()) {
            _storage.setTrackLast(item.type(), item.lastPage(), item.lastPageChecksum());
        }
    }
}

bool StorageCorrector::correct(bool withRecovery) {
    if (!correction()) {
        return false;
    }
    if (withRecovery) {
        recovery();
    }
    return true;
}

bool StorageCorrector::correction() {
    try {
        rollbackTransaction();
        StorageUtility utility(_storage);
        // Text-in records are kept even without frames: the shortcut applies
        // only when the storage holds no frame and no record.
        if (utility.isEmpty(PageType::Media) && utility.isEmpty(PageType::PreEvent) &&
            utility.isEmpty(PageType::TextIn)) {
            for (const PageType* type : DataTracks) {
                if (_storage.hasTrack(*type)) {
                    _tracks.deleteTrack(*type);
                }
            }
            log("empty");
            return true;
        }
        // The page-chain invariants are checked for this pass only (and on
        // this thread only, so another storage opening meanwhile is not affected).
        AssertionScope assertions;
        FirstPageCorrector(_storage).run();
        LastPageCorrector(_storage, _tracks).run();
        correctPreEvent();
        correctMedia();
        return true;
    } catch (const VarnelException& e) {
        log("Correction VarnelException", 0);
        log(e.toString(), 0);
    } catch (const Exception& e) {
        log("Correction Exception", 0);
        log(e.toString(), 0);
    } catch (...) {
        log("Correction unknownException", 0);
    }
    return false;
}

void StorageCorrector::logLastPage(const PageType& type) {
    const TrackListItem entry = *_storage.findTrack(type);
    Page page(&_storage.superBlock(), &_storage.pageCache());
    StorageUtility(_storage).loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), false);
    log("load last page:" + type.toString() +
        CorrectionText::format(" last position:(%u, %u) last id:", page.pageNumber(), page.lastItemOffset()) +
        std::to_string(page.lastItemID()));
    _tracks.truncateLastOverflowedFrame(page);
}

void StorageCorrector::correctPreEvent() {
    if (!StorageUtility(_storage).isEmpty(PageType::PreEvent)) {
        logLastPage(PageType::PreEvent);
    }
    truncateFront();
}

void StorageCorrector::correctMedia() {
    if (!StorageUtility(_storage).isEmpty(PageType::Media)) {
        logLastPage(PageType::Media);
    }
    truncateTimeline();
    truncateBack();
}

void StorageCorrector::truncateFront() {
    const std::optional<TimelineElement> first = firstTimelineElement();
    if (first) {
        log("truncate before " + std::to_string(first->mediaID()));
        for (const PageType* type :
             {&PageType::RecordingTable, &PageType::Event, &PageType::Media, &PageType::PreEvent, &PageType::TextIn}) {
            _tracks.truncateBefore(*type, first->mediaID(), 0);
        }
    } else if (!StorageUtility(_storage).isEmpty(PageType::PreEvent)) {
        log("delete pre-event track");
        _tracks.truncateBefore(PageType::PreEvent, std::numeric_limits<std::uint64_t>::max(), 0);
    }
}

std::uint64_t StorageCorrector::lastItemID(const PageType& type) {
    if (StorageUtility(_storage).isEmpty(type)) {
        return 0;
    }
    const TrackListItem entry = *_storage.findTrack(type);
    Page page(&_storage.superBlock(), &_storage.pageCache());
    StorageUtility(_storage).loadPage(page, type, entry.lastPage(), entry.lastPageChecksum(), true);
    if (page.itemCount() == 0 && page.previous() != 0) {
        // An empty last page (it may hold only the tail of the frame before).
        Page previous(&_storage.superBlock(), &_storage.pageCache());
        StorageUtility(_storage).loadPreviousPage(page, previous, true);
        return previous.lastItemID();
    }
    return page.lastItemID();
}

std::uint64_t StorageCorrector::timelineCut() {
    // The timeline indexes frames and text-in records, whose IDs come from
    // the same counter: it is cut before its first element whose frame or
    // record lies past the end of its track.
    const std::uint64_t mediaEnd = lastItemID(PageType::Media);
    const std::uint64_t textEnd = lastItemID(PageType::TextIn);
    std::uint64_t cut = std::numeric_limits<std::uint64_t>::max();
    TrackIterator it(_storage, PageType::Timeline);
    for (bool more = it.last(); more; more = it.previous()) {
        TimelineElement element;
        it.read(element);
        if (element.mediaID() <= std::min(mediaEnd, textEnd)) {
            break;
        }
        const bool present = element.mediaType() == 3 ? element.mediaID() <= textEnd : element.mediaID() <= mediaEnd;
        if (!present) {
            cut = element.mediaID() - 1;
        }
    }
    return cut;
}

void StorageCorrector::truncateTimeline() {
    if (StorageUtility(_storage).isEmpty(PageType::Media)) {
        return;
    }
    const std::uint64_t cut = timelineCut();
    if (cut != std::numeric_limits<std::uint64_t>::max()) {
        _tracks.truncateAfter(PageType::Timeline, cut, 0);
    }
}

void StorageCorrector::truncateBack() {
    const std::optional<TimelineElement> last = lastTimelineElement();
    if (!last) {
        return;
    }
    log("truncate after " + std::to_string(last->mediaID()));
    for (const PageType* type : {&PageType::RecordingTable, &PageType::PreEvent, &PageType::TextIn}) {
        _tracks.truncateAfter(*type, last->mediaID(), 0);
    }
}

std::optional<TimelineElement> StorageCorrector::firstTimelineElement() {
    TrackIterator it(_storage, PageType::Timeline);
    if (!it.first()) {
        return std::nullopt;
    }
    TimelineElement element;
    it.read(element);
    return element;
}

std::optional<TimelineElement> StorageCorrector::lastTimelineElement() {
    TrackIterator it(_storage, PageType::Timeline);
    if (!it.last()) {
        return std::nullopt;
    }
    TimelineElement element;
    it.read(element);
    return element;
}

std::uint64_t StorageCorrector::nextItemID() {
    std::uint64_t next = _storage.superBlock().firstItemID() == 0 ? 1 : _storage.superBlock().firstItemID();
    try {
        const std::optional<TimelineElement> last = lastTimelineElement();
        if (last) {
            next = std::max(next, last->mediaID() + 1);
        }
        // Frames and records the timeline does not index (frames that wait
        // for a key frame) keep their IDs: numbering never hands one out again.
        for (const PageType* type : {&PageType::Media, &PageType::PreEvent, &PageType::TextIn}) {
            const std::uint64_t id = lastItemID(*type);
            if (id != 0) {
                next = std::max(next, id + 1);
            }
        }
    } catch (const VarnelException&) {
    }
    return next;
}

void StorageCorrector::recovery() {
    const std::optional<TimelineElement> last = lastTimelineElement();
    const std::uint64_t startID = last ? last->mediaID() : _storage.superBlock().firstItemID();
    if (!last && _storage.hasTrack(PageType::RecordingTable)) {
        // The sections name positions of a timeline that no longer exists;
        // they are rebuilt from the timeline the media track gives.
        _tracks.deleteTrack(PageType::RecordingTable);
    }
    StorageRecoverer recoverer(_storage);
    recoverer.recoverTimeline();
    if (!last && firstTimelineElement()) {
        // The correction found no timeline to trim the other tracks to; the
        // rebuilt one may start after the first frames (a frame that waited
        // for a key frame is not indexed) and end before records written
        // after its last frame (a text-in record whose frame was lost). Trim
        // now, as the next open would, so that a second open finds nothing
        // left to change.
        truncateFront();
        truncateBack();
    }
    recoverer.recoverRecordingTable();
    if (StorageUtility(_storage).isEmpty(PageType::Event)) {
        return;
    }
    const std::uint64_t validID = firstValidEventItemAfterRecovery(startID);
    _tracks.truncateAfter(PageType::Event, validID, 0);
}

std::uint64_t StorageCorrector::firstValidEventItemAfterRecovery(std::uint64_t startID) {
    std::uint64_t validID = startID;
    bool set = false;
    TrackIterator events(_storage, PageType::Event);
    PagePosition searchStart;
    for (bool more = events.last(); more; more = events.previous()) {
        EventElement event;
        events.read(event);
        if (event.mediaID() < startID) {
            break;
        }
        bool readable = false;
        TrackIterator at(_storage, PageType::Timeline);
        try {
            readable = at.seek(event.timelinePos());
        } catch (const VarnelException&) {
            readable = false;
        }
        if (readable) {
            TimelineElement element;
            at.read(element);
            if (element.mediaID() == event.mediaID() && element.dateTime() == event.dateTime() &&
                (element.channelMask().word() == 0 ||
                 (element.channelMask().word() & event.channelMask().word()) != 0)) {
                if (!set) {
                    validID = event.mediaID();
                }
                break;
            }
            continue;
        }
        TrackIterator search(_storage, PageType::Timeline);
        bool found = searchStart.isNull() ? search.last() : search.seek(searchStart);
        for (; found; found = search.previous()) {
            TimelineElement element;
            search.read(element);
            if (element.mediaID() < event.mediaID()) {
                found = false;
                break;
            }
            if (element.mediaID() == event.mediaID() && element.dateTime() == event.dateTime()) {
                break;
            }
        }
        if (!found) {
            continue;
        }
        event.setTimelinePos(search.position());
        const PagePosition position = events.position();
        Page page(&_storage.superBlock(), &_storage.pageCache());
        page.load(position.number, false);
        event.writeAt(page.buffer(), position.offset);
        page.save();
        page.release();
        searchStart = search.position();
        if (!set) {
            validID = event.mediaID();
            set = true;
        }
    }
    return validID;
}

} // namespace ostrel
