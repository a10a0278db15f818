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
};

} // namespace ostrel
