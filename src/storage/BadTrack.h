#pragma once

#include "storage/Track.h"

#include <cstdint>
#include <vector>

namespace ostrel {

// The page numbers the storage stopped using (4-byte records), in at most
// two pages; a full track makes the storage refuse to open.
class BadTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 4;

    PageType pageType() const override { return PageType::Bad; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;

    // Records page `number` and saves it at once. False when the track was
    // full, or has just become full.
    bool add(std::uint32_t number);
    bool isFull() const;
    std::vector<std::uint32_t> pages() const;

private:
    bool _chained = false;
};

} // namespace ostrel
