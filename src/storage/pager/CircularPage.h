#pragma once

#include "storage/pager/Page.h"

#include <cstdint>

namespace ostrel {

class FixedSerializable;

// A page used as a ring of fixed-size items: firstItemOffset() is the head
// (the oldest item), lastItemOffset() the tail (the next free slot). The
// slots run from IndexData in steps of the item size; the bytes after the
// last whole slot (the slack) are never used.
class CircularPage : public Page {
public:
    using Page::Page;

    std::uint32_t slots() const;
    std::uint32_t slack() const;
    std::uint32_t slotOf(std::uint32_t offset) const;
    std::uint32_t offsetOfSlot(std::uint32_t slot) const;
    // The offset that follows `offset` in the ring.
    std::uint32_t successor(std::uint32_t offset) const;
    bool isFull() const { return itemCount() >= slots(); }

    std::uint32_t itemOffset(std::uint32_t index) const override;
    std::uint32_t itemsEnd() const override;
    // Also requires the head and tail on slot boundaries and a count that
    // matches the distance between them.
    void checkHeader() const override;

    // The item at the head; the ring must not be empty.
    void front(FixedSerializable& item) const;
    // The item number `index` from the head.
    void at(std::uint32_t index, FixedSerializable& item) const;
    // Appends at the tail. A full ring refuses with VarnelException (code 3,
    // "Invalid storage") and changes nothing.
    void pushBack(const FixedSerializable& item);
    void popFront();
    void popBack();
    // Empties the ring (resetHeader()).
    void reset() { resetHeader(); }
    // Rewrites the item number `index` in place.
    void replace(std::uint32_t index, const FixedSerializable& item);
};

} // namespace ostrel
