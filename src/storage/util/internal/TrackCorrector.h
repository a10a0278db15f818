#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <string>

namespace ostrel {

class IRecordable;
class Page;
class Storage;

// Trims one track at open: cuts it before or after a media ID, drops a frame
// whose payload ran into a page that never joined the chain, or deletes it.
// Every cut that moves a track end or frees pages runs as one journaled
// transaction, so a crash during the correction is undone at the next open.
class TrackCorrector {
public:
    explicit TrackCorrector(Storage& storage) : _storage(storage) {}

    // Removes every item below `before`; pages wholly before it return to the
    // free list. A track wholly before it is deleted. In a storage of
    // recorder type "ARCH" items are ordered by (section, ID): with a
    // `section` given (not 0), the items of the tracks that store their
    // section (recording table, events, text-in) that belong to an earlier
    // section lie before the cut whatever their ID, and those of a later one
    // after it.
    void truncateBefore(const PageType& type, std::uint64_t before, std::uint32_t section);
    // Removes every item above `after`; a track wholly after it is deleted.
    void truncateAfter(const PageType& type, std::uint64_t after, std::uint32_t section);
    // Drops the last frame of a media or pre-event last page when its payload
    // runs past the page, and clears a next link that leads out of the track.
    void truncateLastOverflowedFrame(Page& page);
    // Deletes the track of `type` and frees the pages of its chain.
    void deleteTrack(const PageType& type);

    // Moves the page's first item past every item below `before` and clears
    // its previous link (in memory). True when the page changed.
    bool removeItemsBefore(Page& page, std::uint64_t before, std::uint32_t section = 0);
    // Keeps the items up to `after` and clears the next link (in memory).
    bool removeItemsAfter(Page& page, std::uint64_t after);

    void log(const std::string& text);

private:
    void deleteTrack(const PageType& type, std::uint32_t knownLast);
    // Whether the cut at (`section`, `before`) orders items by section first.
    bool bySection(const PageType& type, std::uint32_t section) const;
    // Whether an item with media ID `id` (read into `item` when ordered by
    // section) lies before the cut.
    bool liesBefore(const PageType& type, const IRecordable& item, std::uint64_t id, std::uint64_t before,
                    std::uint32_t section) const;

    Storage& _storage;
};

} // namespace ostrel
