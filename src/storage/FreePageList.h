#pragma once

#include "storage/FreePageListItem.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class FreePageListPage;

// The free pages as an ordered list of non-overlapping intervals within
// 1 .. page count, with the total number of pages they hold.
class FreePageList {
public:
    explicit FreePageList(std::uint32_t pageCount = 0xFFFFFFFF) : _pageCount(pageCount) {}

    const std::vector<FreePageListItem>& intervals() const { return _intervals; }
    std::size_t intervalCount() const { return _intervals.size(); }
    std::uint64_t freeCount() const { return _freeCount; }
    std::uint32_t pageCount() const { return _pageCount; }
    void setPageCount(std::uint32_t count) { _pageCount = count; }
    bool isChanged() const { return _changed; }
    bool isEmpty() const { return _intervals.empty(); }
    void clear();

    // Some interval overlaps first .. last.
    bool contains(std::uint32_t first, std::uint32_t last) const;
    bool contains(std::uint32_t number) const { return contains(number, number); }
    // Adds the range; refused (false, nothing changed) when it is empty, holds
    // page 0, ends past the page count or overlaps an interval. The first
    // interval that the range extends at either end grows; otherwise the
    // range is appended.
    bool add(std::uint32_t first, std::uint32_t last);
    // The first page of the first interval, 0 when the list is empty.
    std::uint32_t take();
    // Removes one listed page (splitting its interval, the upper part
    // appended at the end); false when the page is not listed.
    bool remove(std::uint32_t number);
    // Merges adjacent intervals; answers whether any was absorbed.
    bool coalesce();
    // Stable order by interval size, equal sizes by first page.
    void sort();

    // Replaces the list by the intervals of the page, in ring order (invalid
    // or overlapping items from a damaged page are left out).
    void load(const FreePageListPage& page, std::uint32_t pageCount);
    // Rewrites the page from the list and saves its dirty sectors. A list
    // that does not fit in the page even after merging raises VarnelException
    // (code 1) and leaves the page as it was.
    void store(FreePageListPage& page);

private:
    std::vector<FreePageListItem> _intervals;
    std::uint64_t _freeCount = 0;
    std::uint32_t _pageCount;
    bool _changed = false;
};

} // namespace ostrel
