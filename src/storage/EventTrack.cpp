#include "storage/EventTrack.h"

#include "base/Trace.h"
#include "storage/EventElement.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"

#include <string>

namespace ostrel {

PagePosition EventTrack::write(EventElement& event) { return Track::write(event); }

bool EventTrack::overwrite(std::uint64_t before) {
    EventElement scratch;
    return Track::overwrite(before, scratch);
}

void EventTrack::truncateAfter(std::uint64_t after) {
    EventElement scratch;
    Track::truncateAfter(after, scratch);
}

std::uint32_t EventTrack::changeTimelineInfo(std::uint32_t oldPage, std::uint32_t newPage, std::uint32_t stopPage) {
    trace("EventTrack::changeTimelineInfo\n");
    requireWritable();
    if (newPage == 0) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "timeline page " + std::to_string(oldPage) + " cannot move to page 0");
    }
    if (!_current->isLoaded() || isEmpty()) {
        trace("EventTrack::changeTimelineInfo has not event element\n");
        return 0;
    }
    // Events of frames that were not indexed carry (0, 0): they must keep
    // pointing nowhere.
    if (oldPage == 0 || oldPage == newPage) {
        return 0;
    }
    const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Event);
    const std::uint32_t first = entry ? entry->firstPage() : 0;
    const std::uint32_t pageCount = _storage->superBlock().pageCount();
    Page other(&_storage->superBlock(), &_storage->pageCache());
    Page* page = _current;
    EventElement event;
    std::uint32_t changed = 0;
    for (std::uint32_t visited = 1;; ++visited) {
        bool reachedStop = false;
        bool pageChanged = false;
        {
            Mutex::ScopedLock lock(page->mutex());
            for (std::uint32_t i = 0; i < page->itemCount(); ++i) {
                const std::uint32_t offset = page->firstItemOffset() + i * ItemSize;
                event.readAt(page->buffer(), offset);
                const PagePosition position = event.timelinePos();
                reachedStop = reachedStop || (stopPage != 0 && position.number == stopPage);
                if (position.number == oldPage) {
                    event.setTimelinePos(PagePosition{newPage, position.offset});
                    event.writeAt(page->buffer(), offset);
                    pageChanged = true;
                    ++changed;
                }
            }
        }
        if (pageChanged) {
            _storage->savePage(*page);
        }
        if (reachedStop || page->previous() == 0 || page->pageNumber() == first) {
            break;
        }
        if (visited >= pageCount) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "the event track's previous links run in a circle through page " +
                                      std::to_string(page->pageNumber()));
        }
        const std::uint32_t previous = page->previous();
        const std::uint32_t previousChecksum = page->previousChecksum();
        if (_overwritePage.isLoaded() && _overwritePage.pageNumber() == previous) {
            if (_overwritePage.checksum() != previousChecksum) {
                throw VarnelException(VarnelException::StorageCorrupted,
                                      "event page " + std::to_string(previous) + " is not the page " +
                                          std::to_string(page->pageNumber()) + " links back to");
            }
            page = &_overwritePage;
        } else {
            other.release();
            loadLinked(other, previous, previousChecksum, false);
            page = &other;
        }
    }
    return changed;
}

} // namespace ostrel
