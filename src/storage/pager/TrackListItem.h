#pragma once

#include "base/BitMask32.h"
#include "storage/pager/PageType.h"

#include <cstdint>

namespace ostrel {

// One entry of the superblock's track list: a track's page type, channel
// mask, first and last page and the checksums those pages had when the entry
// was written. 24 bytes, big-endian like the rest of the superblock.
class TrackListItem {
public:
    static constexpr std::size_t Size = 24;

    TrackListItem() = default;
    TrackListItem(const PageType& type, BitMask32 mask, std::uint32_t page, std::uint32_t checksum)
        : _type(type), _mask(mask), _firstPage(page), _lastPage(page), _firstChecksum(checksum),
          _lastChecksum(checksum) {}

    const PageType& type() const { return _type; }
    BitMask32 channelMask() const { return _mask; }
    std::uint32_t firstPage() const { return _firstPage; }
    std::uint32_t lastPage() const { return _lastPage; }
    std::uint32_t firstPageChecksum() const { return _firstChecksum; }
    std::uint32_t lastPageChecksum() const { return _lastChecksum; }

    void setType(const PageType& type) { _type = type; }
    void setChannelMask(BitMask32 mask) { _mask = mask; }
    void setFirst(std::uint32_t page, std::uint32_t checksum) {
        _firstPage = page;
        _firstChecksum = checksum;
    }
    void setLast(std::uint32_t page, std::uint32_t checksum) {
        _lastPage = page;
        _lastChecksum = checksum;
    }

    // The 24-byte big-endian form.
    void encode(std::uint8_t* out) const;
    void decode(const std::uint8_t* in);

    bool operator==(const TrackListItem& other) const {
        return _type == other._type && _mask.word() == other._mask.word() && _firstPage == other._firstPage &&
               _lastPage == other._lastPage && _firstChecksum == other._firstChecksum &&
               _lastChecksum == other._lastChecksum;
    }

private:
    PageType _type;
    BitMask32 _mask{0xFFFFFFFF};
    std::uint32_t _firstPage = 0;
    std::uint32_t _lastPage = 0;
    std::uint32_t _firstChecksum = 0;
    std::uint32_t _lastChecksum = 0;
};

} // namespace ostrel
