#pragma once

#include "storage/Track.h"

#include <cstdint>

namespace ostrel {

class MediaElement;

// Frames recorded before an event, kept like the media track. This system
// writes none; the track is opened, trimmed and cleared with the others.
class PreEventTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    PageType pageType() const override { return PageType::PreEvent; }
    std::uint32_t itemSize() const override { return ItemSize; }
    bool carriesMedia() const override { return true; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    PagePosition write(MediaElement& frame);
    bool overwrite(std::uint64_t before) override;
    void truncateAfter(std::uint64_t after);
    // Told the last media ID of every timeline page the storage saves.
    void timelinePageSaved(std::uint64_t lastID);
};

} // namespace ostrel
