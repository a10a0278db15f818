#pragma once

#include "storage/pager/CircularPage.h"

#include <cstdint>

namespace ostrel {

// The free-page-list page: a ring of FreePageListItem intervals (page 1 of
// every storage this engine formats). It says which pages are free on disk.
class FreePageListPage : public CircularPage {
public:
    enum MergeMode : unsigned { NoMerge = 0, MergeBelow = 1, MergeAbove = 2, MergeBoth = 3 };

    using CircularPage::CircularPage;

    // Index (from the head) of the item whose interval holds the number, or -1.
    int find(std::uint32_t number) const;
    bool isListed(std::uint32_t number) const { return find(number) >= 0; }
    // Whether any listed interval overlaps first .. last.
    bool isAnyListed(std::uint32_t first, std::uint32_t last) const;
    // Whether every page of first .. last is listed.
    bool isAllListed(std::uint32_t first, std::uint32_t last) const;

    // With MergeBelow an item beginning at last + 1 grows down to `first`;
    // with MergeAbove an item ending at first - 1 grows up to `last`; the first
    // item that qualifies is rewritten in place, else the interval is pushed
    // at the tail. A full ring is first compacted; when that frees nothing the
    // change is refused with VarnelException (code 1) and nothing changes.
    void addInterval(std::uint32_t first, std::uint32_t last, unsigned mergeMode = MergeBoth);
    // Removes one listed page (a page that is not listed changes nothing).
    // The same refusal as addInterval applies when a split finds no room.
    void remove(std::uint32_t number);
    // Rewrites the ring with adjacent intervals merged; answers whether that
    // freed a slot.
    bool compact();

private:
    void requireRoom();
};

} // namespace ostrel
