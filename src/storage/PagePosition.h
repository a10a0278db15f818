#pragma once

#include <cstdint>

namespace ostrel {

// The address of one item in a storage file: the page number (0 = no
// position) and the byte offset of the item's first byte in that page. Items
// store it as two unsigned 32-bit words, number first.
struct PagePosition {
    std::uint32_t number = 0;
    std::uint32_t offset = 0;

    bool isNull() const { return number == 0; }
    bool operator==(const PagePosition& other) const = default;
};

} // namespace ostrel
