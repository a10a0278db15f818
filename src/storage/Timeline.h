#pragma once

#include "storage/PagePosition.h"
#include "storage/Track.h"

#include <array>
#include <cstdint>
#include <map>

namespace ostrel {

class TimelineElement;

// The index of a storage: one TimelineElement per indexed media frame,
// pre-event frame and text-in record, in write order, each pointing to its
// frame and back to the previous element of the same media type and
// channel. A non-key video frame is indexed only when it continues, without
// a gap, the group of pictures whose earlier frames were indexed.
class Timeline : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    PageType pageType() const override { return PageType::Timeline; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;
    bool overwrite(std::uint64_t before) override;

    // Indexes a frame: `element` carries the frame's identity, media
    // position and total size (the storage fills them); the timeline decides
    // whether the frame is indexed, links the element to its predecessor and
    // appends it. Answers the element's position, or (0, 0).
    PagePosition write(TimelineElement& element);
    // Removes the elements above `after` and rebuilds the tables.
    void truncateAfter(std::uint64_t after);
    // Frees the first page as a whole (deletes a one-page timeline).
    void dropFirstPage();
    // Media ID of the first element (0 for an empty timeline).
    std::uint64_t firstMediaID();
    // Time stamp of the first page (0 for an empty timeline).
    std::uint32_t firstTimeStamp() const;
    // Whether every element of the timeline lies on one page: it has a
    // single page, or an empty page being filled right after its first.
    bool hasSinglePage() const;
    // After a media, pre-event or text-in page moved from `oldPage` to
    // `newPage`: every element pointing into the old page is pointed at the
    // new one. Walks from the last page backwards and stops after the page
    // holding an element that points at `stopPage`, or at the first page;
    // each changed page is saved. Answers the number of elements changed.
    std::uint32_t relocateMediaPage(std::uint32_t oldPage, std::uint32_t newPage, std::uint32_t stopPage);

private:
    struct KeyFrame {
        std::uint32_t gopID = 0;
        std::uint16_t frameIndex = 0;
    };

    void clearTables();
    void rebuildTables();

    std::map<std::uint32_t, KeyFrame> _keyFrames;
    std::array<std::map<std::uint32_t, PagePosition>, 4> _previous;
};

} // namespace ostrel
