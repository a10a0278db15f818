#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace ostrel {

class IRecordable;
class Page;

// What the correction needs to know about the items of each track type: the
// item object to read them with, whether they are of fixed size, and how far
// one item reaches inside its page.
class TrackItems {
public:
    // The item kind of a data track; null for the tracks without media-ID
    // ordered items (free list, journal, info, log, bad pages).
    static std::unique_ptr<IRecordable> make(const PageType& type);
    static bool isFixedSize(const PageType& type);
    static bool carriesMedia(const PageType& type) { return type == PageType::Media || type == PageType::PreEvent; }
    static bool isDataTrack(const PageType& type);
    // Reads the item at `offset` and answers its length in the page's stream
    // (for frames the header plus the payload, which may run past the page).
    static std::uint64_t readAt(const Page& page, std::uint32_t offset, IRecordable& item);
    // The item at the page's lastItemOffset, refusing an offset outside the page.
    static void readLast(const Page& page, IRecordable& item);
    // The recording section an item of `type` was stored in, for the tracks
    // whose items carry one (recording table, events, text-in records).
    static std::optional<std::uint32_t> sectionOf(const PageType& type, const IRecordable& item);
};

} // namespace ostrel
