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
    EventElement event;
    return rewriteBackwards("the event track", "event page", [&](Page& page, std::uint32_t offset) {
        event.readAt(page.buffer(), offset);
        const PagePosition position = event.timelinePos();
        ItemRewrite result;
        result.reachedStop = stopPage != 0 && position.number == stopPage;
        if (position.number == oldPage) {
            event.setTimelinePos(PagePosition{newPage, position.offset});
            event.writeAt(page.buffer(), offset);
            result.changed = true;
        }
        return result;
    });
}

} // namespace ostrel
