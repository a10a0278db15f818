#pragma once

#include "storage/FreePageList.h"
#include "storage/IFreePageAllocator.h"
#include "storage/pager/FreePageListPage.h"

#include <cstdint>

namespace ostrel {

class IStorage;

// The free pages of a fixed-size storage file in two forms: the in-memory
// interval list from which pages are handed out, and the free-page-list page
// ("FREE", page 1) that says which pages are free on disk. A page handed out
// stays listed on disk until the transaction that puts it into a chain
// consumes it, so a crash in between loses no page.
//
// Both forms only ever list pages inside 1 .. page count and never the list
// page itself; a freed range is listed only where it is not listed already,
// so a page is never listed twice (and so never handed out twice).
class FixedSizeFreePageAllocator : public IFreePageAllocator {
public:
    static constexpr std::size_t MinimumMergeThreshold = 10;

    FixedSizeFreePageAllocator() = default;

    void open(IStorage& storage) override;
    void close() override;
    void flush() override;
    void format(IStorage& storage) override;
    std::uint64_t freePageCount() const override { return _list.freeCount(); }
    bool isFree(std::uint32_t number) const override { return _list.contains(number); }
    bool isListed(std::uint32_t number) const override;
    void dump() const override;
    std::uint32_t extract() override;
    void consume(std::uint32_t number) override;
    void addInterval(std::uint32_t first, std::uint32_t last) override;
    void addPage(std::uint32_t number) override;
    void settle() override;

    std::size_t mergeThreshold() const { return _mergeThreshold; }
    const FreePageList& list() const { return _list; }
    const FreePageListPage& page() const { return _page; }
    std::uint32_t listPageNumber() const { return _page.pageNumber(); }

private:
    void requireRange(std::uint32_t first, std::uint32_t last) const;

    IStorage* _storage = nullptr;
    FreePageListPage _page;
    FreePageList _list;
    std::size_t _mergeThreshold = MinimumMergeThreshold;
};

} // namespace ostrel
