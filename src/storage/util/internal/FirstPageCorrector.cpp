#include "base/Trace.h"
#include "storage/util/internal/FirstPageCorrector.h"

#include "base/Assert.h"
#include "base/Exception.h"
#include "base/Log.h"
#include "storage/IFreePageAllocator.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/CorrectionText.h"

namespace ostrel {

void FirstPageCorrector::log(const std::string& text) {
    trace("%s\n", text.c_str());
    _storage.log(text, 2, true);
    ostrel::log(LogLevel::Debug, text.c_str());
}

void FirstPageCorrector::run() {
    for (const TrackListItem& entry : _storage.tracks()) {
        correct(entry.type());
    }
}

void FirstPageCorrector::correct(const PageType& type) {
    const std::optional<TrackListItem> entry = _storage.findTrack(type);
    if (!entry || entry->firstPage() == entry->lastPage()) {
        return;
    }
    validateJournalRollback(type);
    if (!checkFirstPage(type)) {
        updateTrackFirst(type);
    }
}

void FirstPageCorrector::validateJournalRollback(const PageType& type) {
    try {
        const TrackListItem entry = *_storage.findTrack(type);
        Page current(&_storage.superBlock(), &_storage.pageCache());
        StorageUtility(_storage).loadPage(current, type, entry.firstPage(), entry.firstPageChecksum(), false);
        if (current.previous() == 0) {
            OSTREL_ASSERT(current.previous() == 0 && current.previousChecksum() == 0x00);
            OSTREL_ASSERT(current.superChecksum() == _storage.superBlock().checksum());
            return;
        }
        OSTREL_ASSERT(current.previousChecksum() != 0x00);
        OSTREL_ASSERT(current.superChecksum() == _storage.superBlock().checksum());
        if (!_storage.superBlock().isValidPageNumber(current.previous())) {
            return;
        }
        Page previous(&_storage.superBlock(), &_storage.pageCache());
        previous.loadHeader(current.previous(), false);
        const bool predecessor = previous.type() == type && previous.checksum() == current.previousChecksum() &&
                                 previous.next() == current.pageNumber() &&
                                 previous.lastItemID() < current.firstItemID();
        if (!predecessor) {
            return;
        }
        OSTREL_ASSERT(previous.lastItemID() < current.firstItemID());
        const std::uint32_t number = previous.pageNumber();
        previous.release();
        addFreePage(number);
        current.setPrevious(0);
        current.setPreviousChecksum(0);
        log(CorrectionText::format("[%s] %u Prev. Set [Null]", type.toString().c_str(), current.pageNumber()));
        current.save();
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception& e) {
        log(e.toString());
    }
}

bool FirstPageCorrector::checkFirstPage(const PageType& type) {
    const TrackListItem entry = *_storage.findTrack(type);
    try {
        StorageUtility utility(_storage);
        Page first(&_storage.superBlock(), &_storage.pageCache());
        utility.loadPage(first, type, entry.firstPage(), entry.firstPageChecksum(), true);
        Page next(&_storage.superBlock(), &_storage.pageCache());
        utility.loadNextPage(first, next, true);
        return true;
    } catch (const VarnelException& e) {
        log(e.toString());
        return false;
    }
}

void FirstPageCorrector::updateTrackFirst(const PageType& type) {
    const TrackListItem entry = *_storage.findTrack(type);
    Page first(&_storage.superBlock(), &_storage.pageCache());
    Page next(&_storage.superBlock(), &_storage.pageCache());
    bool found = false;
    try {
        first.loadHeader(entry.firstPage(), false);
        if (first.type() == type && _storage.superBlock().isValidPageNumber(first.next())) {
            next.loadHeader(first.next(), false);
            found = next.type() == type && next.checksum() == first.nextChecksum() &&
                    next.superChecksum() == _storage.superBlock().checksum();
        }
    } catch (const Exception& e) {
        log(e.toString());
    }
    if (!found) {
        if (type == PageType::Log) {
            addFreePage(entry.firstPage());
            _storage.superBlock().removeTrack(type);
            _storage.removeTrack(type);
            _storage.superBlock().save();
            log(CorrectionText::format("%s Track delete", type.toString().c_str()));
            return;
        }
        throw VarnelException(VarnelException::StorageCorrupted,
                              type.toString() + ": neither the first page nor its successor can start the track");
    }
    log(CorrectionText::format("%s Type First Recovery", type.toString().c_str()));
    log(CorrectionText::format("%u -> %u recover", entry.firstPage(), next.pageNumber()));
    const std::uint32_t newFirst = next.pageNumber();
    next.release();
    first.release();
    addFreePage(entry.firstPage());
    // The successor no longer has a predecessor in the chain.
    next.load(newFirst, false);
    if (next.previous() != 0 || next.previousChecksum() != 0) {
        next.setPrevious(0);
        next.setPreviousChecksum(0);
        next.saveHeader();
    }
    _storage.superBlock().setTrackFirst(type, next.pageNumber(), next.checksum());
    _storage.setTrackFirst(type, next.pageNumber(), next.checksum());
    _storage.superBlock().save();
}

void FirstPageCorrector::addFreePage(std::uint32_t number) {
    IFreePageAllocator& allocator = _storage.freePageAllocator();
    if (allocator.isFree(number)) {
        OSTREL_ASSERT(allocator.isListed(number));
        log(CorrectionText::format("%u already add to Free page list", number));
    } else {
        allocator.addPage(number);
        log(CorrectionText::format("%u add to Free page list", number));
    }
    allocator.flush();
}

} // namespace ostrel
