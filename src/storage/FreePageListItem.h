#pragma once

#include "base/FixedSerializable.h"

#include <cstdint>

namespace ostrel {

// One interval of free pages, first .. last inclusive: two u32 in the page
// byte order (8 bytes).
class FreePageListItem : public FixedSerializable {
public:
    FreePageListItem() = default;
    FreePageListItem(std::uint32_t first, std::uint32_t last) : _first(first), _last(last) {}

    std::uint32_t first() const { return _first; }
    std::uint32_t last() const { return _last; }
    void setFirst(std::uint32_t first) { _first = first; }
    void setLast(std::uint32_t last) { _last = last; }
    std::uint32_t pageCount() const { return _last - _first + 1; }
    bool holds(std::uint32_t number) const { return number >= _first && number <= _last; }
    bool overlaps(std::uint32_t first, std::uint32_t last) const { return _first <= last && _last >= first; }

    int size() const override { return 8; }
    void encode(std::uint8_t* out, ByteOrder order) const override;
    void decode(const std::uint8_t* in, ByteOrder order) override;

    bool operator==(const FreePageListItem& other) const {
        return _first == other._first && _last == other._last;
    }

private:
    std::uint32_t _first = 0;
    std::uint32_t _last = 0;
};

} // namespace ostrel
