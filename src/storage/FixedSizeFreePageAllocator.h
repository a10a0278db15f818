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
//
// The list page survives a power loss in the middle of its save: its items
// form a ring whose live part the header sector names (head, tail, count).
// A save writes the new list into ring slots the live part does not use,
// waits for them to be durable (a barrier), and only then writes the header
// sector, one sector that the device writes whole or not at all. A torn
// save therefore leaves either the old list or the new one. Between saves
// the page's buffer holds what the file holds; the changes wait in the
// in-memory list of what the page will say (isListed answers from it).
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

    // The two halves of flush(), for a caller that has its own barrier to
    // share (the group commit): stage() writes the new list into unused ring
    // slots without waiting for the device; after the caller's barrier,
    // publish() writes the header sector that makes it the list, durably.
    // Both do nothing when nothing changed since the last save. A short list
    // goes into free slots of the header's own sector: publish() alone then
    // saves it, and flush() needs no barrier.
    void stage();
    void publish();

    std::size_t mergeThreshold() const { return _mergeThreshold; }
    const FreePageList& list() const { return _list; }
    const FreePageListPage& page() const { return _page; }
    // What the list page says after the next save.
    const FreePageList& listed() const { return _listed; }
    std::uint32_t listPageNumber() const { return _page.pageNumber(); }

private:
    void requireRange(std::uint32_t first, std::uint32_t last) const;

    IStorage* _storage = nullptr;
    FreePageListPage _page;
    FreePageList _list;
    FreePageList _listed;
    // The page differs from _listed; the new items are placed (stage ran);
    // some of them went to the file and wait for a barrier.
    bool _changed = false;
    bool _prepared = false;
    bool _staged = false;
    std::uint32_t _stagedHead = 0;
    std::uint32_t _stagedTail = 0;
    std::uint32_t _stagedCount = 0;
    std::size_t _mergeThreshold = MinimumMergeThreshold;
};

} // namespace ostrel
