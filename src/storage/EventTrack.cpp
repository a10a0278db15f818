#include "storage/EventTrack.h"

#include "storage/EventElement.h"

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

} // namespace ostrel
