#pragma once

#include "storage/Track.h"

#include <cstdint>

namespace ostrel {

class EventElement;

// The events (alarms, motion, ...) of recorded frames, each pointing to its
// frame's media ID and timeline element.
class EventTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    PageType pageType() const override { return PageType::Event; }
    std::uint32_t itemSize() const override { return ItemSize; }

    PagePosition write(EventElement& event);
    bool overwrite(std::uint64_t before) override;
    void truncateAfter(std::uint64_t after);
    // After a timeline page moved from `oldPage` to `newPage`: every event
    // whose timeline position lies in the old page is pointed at the new one.
    // Walks from the last page backwards and stops after the page holding an
    // event that points at `stopPage`, or at the first page; each changed
    // page is saved. Answers the number of events changed.
    std::uint32_t changeTimelineInfo(std::uint32_t oldPage, std::uint32_t newPage, std::uint32_t stopPage);
};

} // namespace ostrel
